#pragma once

#include <string_view>

class QWidget;

namespace quayside {

// The window's modal boxes, behind a seam so tests can answer them.
// An empty caption means the box has no caption of its own.
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual void inform(QWidget* owner, std::string_view caption, std::string_view text,
                      std::string_view detail) = 0;
  // True when the user answers Yes.
  virtual bool askYesNo(QWidget* owner, std::string_view caption, std::string_view text,
                        std::string_view detail) = 0;
};

// QMessageBox boxes owned by the window; a box without a caption of its own
// is titled with the application's name.
class MessageBoxPrompter : public Prompter {
 public:
  void inform(QWidget* owner, std::string_view caption, std::string_view text,
              std::string_view detail) override;
  bool askYesNo(QWidget* owner, std::string_view caption, std::string_view text,
                std::string_view detail) override;
};

}  // namespace quayside

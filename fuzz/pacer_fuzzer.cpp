// The pacer on a clock the input drives: no line is lost, doubled or
// reordered (a PONG only jumps ahead, at once), what it sends stays within
// the allowance at every moment, and whatever waits goes out when due.
#include "fuzz_support.h"
#include "relay/pacer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

using namespace quayside;
using namespace std::chrono_literals;

namespace {

using TimePoint = Pacer::TimePoint;

// What the pacer sent, checked as it goes.
struct Watch {
  TimePoint now{};
  std::deque<std::string> waiting;  // lines added and not yet sent, PONGs aside, in order
  std::size_t pongsAdded = 0;
  std::size_t pongsSent = 0;
  // The largest backlog of penalties any run of sent lines ending now holds:
  // n lines over a span d fit when n * penalty <= allowance + d.
  std::chrono::nanoseconds backlog{};
  TimePoint lastCharged{};
  std::size_t sends = 0;

  void line(std::string_view sent) {
    if (sent.starts_with("PONG")) {
      ++pongsSent;
      return;
    }
    // The first waiting line of the same target: the targets take turns,
    // each keeps its order.
    const std::string_view target = sent.substr(0, sent.find(" :"));
    const auto first = std::find_if(waiting.begin(), waiting.end(), [&](const std::string& line) {
      return std::string_view(line).substr(0, line.find(" :")) == target;
    });
    if (first == waiting.end() || *first != sent) {
      fuzz::fail("a line sent out of order, doubled or changed", std::string(sent));
    }
    waiting.erase(first);
    backlog =
        std::max(backlog - (now - lastCharged), std::chrono::nanoseconds{0}) + Pacer::kPenalty;
    lastCharged = now;
    if (backlog > Pacer::kAllowance) {
      fuzz::fail("lines sent beyond the allowance", std::string(sent));
    }
  }

  void send(std::string_view bytes) {
    ++sends;
    if (bytes.empty() || !bytes.ends_with("\r\n")) {
      fuzz::fail("a send that is not whole lines", std::string(bytes));
    }
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t end = bytes.find("\r\n", at) + 2;
      line(bytes.substr(at, end - at));
      at = end;
    }
  }
};

}  // namespace

// Each step is one byte and what it names: low two bits 0, the clock moves
// (byte >> 2) tenths of a second; 1, it moves (byte >> 2) milliseconds; 2,
// lines are added, ((byte >> 2) & 7) + 1 of them, each a length byte and its
// text, a PONG when bit 5 is set, else to one of four targets (byte >> 6);
// 3, the clock moves to the next deadline.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Watch watch;
  watch.now = TimePoint{} + 24h;
  Pacer pacer([&watch](std::string_view bytes) { watch.send(bytes); });
  std::size_t i = 0;
  const auto next = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    const std::uint8_t step = next();
    switch (step & 0x03) {
      case 0:
        watch.now += (step >> 2) * 100ms;
        pacer.sendDue(watch.now);
        break;
      case 1:
        watch.now += (step >> 2) * 1ms;
        pacer.sendDue(watch.now);
        break;
      case 2: {
        std::string lines;
        const bool pong = (step & 0x20) != 0;
        for (int count = ((step >> 2) & 0x07) + 1; count > 0; --count) {
          constexpr std::array<std::string_view, 4> kTargets = {
              "PRIVMSG #c :", "PRIVMSG bob :", "NOTICE al :", "MODE #c :"};
          std::string line(pong ? "PONG :" : kTargets[step >> 6]);
          const std::size_t length = next();
          for (std::size_t k = 0; k < length && i < size; ++k) {
            const char byte = static_cast<char>(next());
            line += byte == '\n' ? ' ' : byte;  // no line break inside a line
          }
          line += "\r\n";
          lines += line;
          if (pong) {
            ++watch.pongsAdded;
          } else {
            watch.waiting.push_back(line);
          }
        }
        pacer.add(lines, watch.now);
        if (watch.pongsSent != watch.pongsAdded) {
          fuzz::fail("a PONG waited", lines);
        }
        break;
      }
      default: {
        const auto due = pacer.nextSendAt();
        if (!due) {
          break;
        }
        // Nothing goes early; at the deadline at least one line goes.
        const std::size_t before = watch.waiting.size();
        if (*due > watch.now) {
          pacer.sendDue(*due - 1ns);
          if (watch.waiting.size() != before) {
            fuzz::fail("a line sent before the pacer's deadline", {});
          }
          watch.now = *due;
        }
        pacer.sendDue(watch.now);
        if (watch.waiting.size() == before) {
          fuzz::fail("nothing sent at the pacer's deadline", {});
        }
        break;
      }
    }
    if (pacer.queuedLines() != watch.waiting.size()) {
      fuzz::fail("the pacer's count of waiting lines is wrong", {});
    }
  }
  // Following its deadlines, everything waiting goes, at least a line at a
  // time, and an idle pacer has no deadline.
  const std::size_t left = watch.waiting.size();
  for (std::size_t rounds = 0; const auto due = pacer.nextSendAt(); ++rounds) {
    if (rounds >= left) {
      fuzz::fail("lines still wait once due", {});
    }
    watch.now = std::max(watch.now, *due);
    pacer.sendDue(watch.now);
  }
  if (!watch.waiting.empty() || pacer.queuedBytes() != 0) {
    fuzz::fail("lines lost: nothing waits in the pacer", {});
  }
  return 0;
}

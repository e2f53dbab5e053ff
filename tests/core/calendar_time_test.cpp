#include "core/calendar_time.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace quayside {
namespace {

TEST(CalendarTime, ServerTimeTagsAreReadExactly) {
  struct Row {
    std::string_view text;
    std::optional<std::int64_t> unixSeconds;
  };
  for (const Row& row : {
           Row{"2026-12-08T18:03:11.250Z", 1796752991},
           Row{"2026-12-08T18:03:11Z", 1796752991},
           Row{"1970-01-01T00:00:00.000Z", 0},
           Row{"2024-02-29T23:59:60.999999Z", 1709251199},  // a leap day and a leap second
           Row{"2023-02-29T00:00:00.000Z", std::nullopt},   // no such day
           Row{"2026-12-08T24:00:00.000Z", std::nullopt},
           Row{"2026-12-08 18:03:11.250Z", std::nullopt},
           Row{"2026-12-08T18:03:11.250", std::nullopt},  // no zone
           Row{"2026-12-08T18:03:11.Z", std::nullopt},
           Row{"2026-12-08T18:03:11.250Zx", std::nullopt},
           Row{"2026-12-08T18:03:11+01:00", std::nullopt},
           Row{"+026-12-08T18:03:11Z", std::nullopt},
           Row{"2026-12-08T18:03", std::nullopt},
           Row{"", std::nullopt},
       }) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parseServerTime(row.text), row.unixSeconds);
  }
}

TEST(CalendarTime, SayingTimesNameTheDateOnlyWhenItIsNotToday) {
  const CalendarTime now{2026, 12, 8, 18, 10, 0};
  EXPECT_EQ(sayingTimeText({2026, 12, 8, 18, 3, 11}, now), "18:03");
  EXPECT_EQ(sayingTimeText({2026, 12, 7, 9, 3, 11}, now), "2026-12-07 09:03");
  EXPECT_EQ(sayingTimeText({2025, 12, 8, 18, 3, 11}, now), "2025-12-08 18:03");
}

}  // namespace
}  // namespace quayside

// Display widths of code points.
#include <gtest/gtest.h>

#include "text/char_width.h"

namespace qel {
namespace {

TEST(TextWidth, DocumentedWidths) {
  struct Row {
    uint32_t cp;
    int width;
  } rows[] = {
      {0x41, 1},    {0x00, 0},    {0x1B, 1},    {0x7F, 1},    {0x85, 1},    {0x9F, 1},    {0xA0, 1},
      {0x300, 0},   {0x301, 0},   {0x36F, 0},   {0x370, 1},   {0x4E00, 2},  {0x1F600, 2}, {0xE0100, 0},
      {0xE01EF, 0}, {0xE01F0, 1}, {0x1100, 2},  {0x115F, 2},  {0x1160, 0},  {0x11FF, 0},  {0x200B, 1},
      {0x00AD, 1},  {0xFF01, 2},  {0x3000, 2},  {0x20000, 2}, {0x2FFFD, 2}, {0x2FFFE, 1}, {0x3FFFD, 2},
      {0x40000, 1}, {0x10FFFF, 1}, {0xFFFFFFFF, 1},
  };
  for (const Row& r : rows) EXPECT_EQ(char_width::get(r.cp), r.width) << std::hex << r.cp;
}

TEST(TextWidth, InRangesMatchesALinearScanForEveryPrefixOfATable) {
  const uint32_t table[] = {5, 5, 10, 20, 30, 31, 100, 200};
  for (uint32_t items = 0; items <= std::size(table); items += 2) {
    for (uint32_t cp = 0; cp < 210; cp++) {
      bool want = false;
      for (uint32_t i = 0; i < items; i += 2) want |= table[i] <= cp && cp <= table[i + 1];
      EXPECT_EQ(char_width::in_ranges(cp, table, items), want) << cp << " items " << items;
    }
  }
}

}  // namespace
}  // namespace qel

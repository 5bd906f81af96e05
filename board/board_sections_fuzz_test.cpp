// The board control's two shared sections under the mutation driver. Both are open to every
// process (Everyone may write), so their bytes come from outside: between the first object's
// set-up and its last calls, the view state (the colour format, source and view rectangles,
// colour key, the format found at the start) and the register cache (the board's registers as
// the first object found them) are overwritten with the input, as another process could. Then
// the colour format is switched away and back (the return re-applies the stored source and
// view), the stored values are read, and the last object's release writes the cache back to
// the board. Nothing may fault or hang, and every write the board receives lands at an address
// the control writes with the sections' own contents (the register blocks it knows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "board/board_controller.h"
#include "board/board_test_support.h"
#include "common/shared_memory.h"
#include "common/testing/fuzz_driver.h"

namespace {

using board::BoardController;

constexpr std::size_t kViewStateBytes = sizeof(board::BoardViewStateLayout);
// The cache: a reference count, then the read-back blocks (133 + 130 + ... bytes).
constexpr std::size_t kCacheBytes = 4 + 133 + 130 + 16 + 16 + 1 + 2 + 23 + 1 + 6 + 16 + 2 + 3 + 1 + 8 + 4 + 4;

class BoardSectionsFuzz : public board_testing::PanelFixture {
 protected:
  // One object's life, the sections overwritten with `input` (zeros past its end) after its
  // set-up; the addresses the board was written at.
  std::string Life(const fuzzing::Bytes* input, fuzzing::Bytes* sections, std::set<int>* written) {
    // The board as it powers up: a cache written back by the last input stays in the board.
    if (board_.ResetAll() != S_OK || board_.Command("profile-filler") != S_OK || board_.Command("reload") != S_OK ||
        board_.Command("clear-log") != S_OK)
      return "the board cannot be reset";
    {
      BoardController controller(setup_);
      if (FAILED(controller.Construct())) return "the first object was not made";
      controller.InitializeView();
      const RECT size = {0, 0, 720, 480}, panel = {0, 0, 1366, 768};
      controller.SetSrcSize(&size);
      controller.SetViewPosition(&panel);
      SharedMemory view, cache;
      if (FAILED(view.Create(setup_.viewStateSection.c_str(), 0, kViewStateBytes)) ||
          FAILED(cache.Create(setup_.registerCacheSection.c_str(), 0, kCacheBytes)))
        return "the sections cannot be opened";
      if (sections) {
        sections->assign(view.As<std::uint8_t>(), view.As<std::uint8_t>() + kViewStateBytes);
        sections->insert(sections->end(), cache.As<std::uint8_t>(), cache.As<std::uint8_t>() + kCacheBytes);
      }
      if (input) {
        fuzzing::Bytes bytes = *input;
        bytes.resize(kViewStateBytes + kCacheBytes, 0);
        std::memcpy(view.As<std::uint8_t>(), bytes.data(), kViewStateBytes);
        std::memcpy(cache.As<std::uint8_t>(), bytes.data() + kViewStateBytes, kCacheBytes);
      }
      // Any answers: the values are another process's, only what they drive is judged.
      controller.SetColorFormat(board::kYuv444);
      controller.SetColorFormat(board::kYuv422);
      LONG format = 0;
      DWORD key = 0;
      controller.GetColorFormat(&format);
      controller.GetColorKey(&key);
      controller.UninitializeView();
      controller.Release();
    }
    for (const board_sim::LoggedFrame& frame : Requests("write")) written->insert(frame.addr);
    return {};
  }
};

TEST_F(BoardSectionsFuzz, WhatTheSectionsHoldDrivesNoWriteOutsideTheRegisterBlocks) {
  // The seed: the sections as the control itself fills them; its writes are the known blocks.
  fuzzing::Bytes seed;
  std::set<int> known;
  ASSERT_EQ(Life(nullptr, &seed, &known), "");
  ASSERT_FALSE(known.empty());

  fuzzing::Target target;
  target.name = "board_sections";
  target.seeds = {seed};
  target.sizeFields = [](const fuzzing::Bytes&) {
    // The format, the rectangles, the key, the first format; the cache's count and first bytes.
    std::vector<fuzzing::SizeField> fields;
    for (std::size_t at = 0; at < kViewStateBytes; at += 4) fields.push_back({at, 4});
    fields.push_back({kViewStateBytes, 4});
    return fields;
  };
  target.maxSize = kViewStateBytes + kCacheBytes;
  target.defaultRuns = 8;
  target.timeBoundMs = 60000;  // one object's life on the serial link
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    const fuzzing::Bytes input(data, data + size);
    std::set<int> written;
    std::string failure = Life(&input, nullptr, &written);
    for (int address : written) {
      if (failure.empty() && !known.count(address)) failure = "a write at " + std::to_string(address);
    }
    return failure;
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

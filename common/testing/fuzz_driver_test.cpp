#include "common/testing/fuzz_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "common/testing/child.h"

namespace {

TEST(FuzzDriver, InputsEndAtANoAccessPage) {
  fuzzing::GuardedBuffer buffer;
  for (std::size_t size : {0u, 1u, 7u, 4096u, 5000u, 3u}) {
    SCOPED_TRACE(size);
    const fuzzing::Bytes input(size, 0x5A);
    const std::uint8_t* placed = buffer.Place(input.data(), input.size());
    MEMORY_BASIC_INFORMATION after{};
    ASSERT_NE(0u, VirtualQuery(placed + size, &after, sizeof(after)));
    EXPECT_EQ(static_cast<DWORD>(PAGE_NOACCESS), after.Protect);
    if (size) {
      EXPECT_EQ(0x5A, placed[size - 1]);
    }
  }
}

TEST(FuzzDriver, MutationsRepeatFromTheSeedAndStayBounded) {
  const std::vector<fuzzing::Bytes> seeds = {fuzzing::Bytes(40, 1), fuzzing::Bytes(3, 2)};
  const std::vector<fuzzing::SizeField> fields = {{0, 4}, {8, 2}};
  fuzzing::Mutator a(7), b(7), c(8);
  bool differs = false;
  for (int i = 0; i < 500; ++i) {
    const fuzzing::Bytes one = a.Mutate(seeds[0], seeds, fields, 64);
    EXPECT_EQ(one, b.Mutate(seeds[0], seeds, fields, 64));
    differs |= one != c.Mutate(seeds[0], seeds, fields, 64);
    EXPECT_LE(one.size(), 64u);
  }
  EXPECT_TRUE(differs);
}

TEST(FuzzDriver, FailuresAndHangsStopTheRunWithTheirInput) {
  fuzzing::Target failing;
  failing.name = "failing";
  failing.seeds = {{1, 2, 3}};
  failing.check = [](const std::uint8_t* data, std::size_t size) -> std::string {
    return size == 3 && data[2] == 3 ? "" : "changed";
  };
  const fuzzing::Result failed = fuzzing::Run(failing);
  EXPECT_EQ("changed", failed.failure);
  EXPECT_NE(fuzzing::Bytes({1, 2, 3}), failed.input);
  EXPECT_GE(failed.runs, 2u);

  fuzzing::Target throwing = failing;
  throwing.check = [](const std::uint8_t*, std::size_t) -> std::string { throw std::runtime_error("bad"); };
  EXPECT_EQ("exception: bad", fuzzing::Run(throwing).failure);

  // The stuck thread still runs the target after the run gives up on it: the target and its
  // event outlive the test.
  static const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* hanging = new fuzzing::Target(failing);
  hanging->timeBoundMs = 200;
  hanging->check = [](const std::uint8_t*, std::size_t) -> std::string {
    WaitForSingleObject(release, 10000);
    return {};
  };
  const fuzzing::Result hung = fuzzing::Run(*hanging);
  SetEvent(release);
  EXPECT_EQ(0u, hung.failure.find("hang")) << hung.failure;
  EXPECT_EQ(fuzzing::Bytes({1, 2, 3}), hung.input);
}

// A child that runs a target reading one byte further than `reach` bytes past each input's end
// (0: its last byte).
VORN_CHILD(FuzzOverRead) {
  const long reach = args.empty() ? 0 : std::wcstol(args[0].c_str(), nullptr, 10);
  fuzzing::Target target;
  target.name = "over_read";
  target.seeds = {{1, 2, 3, 4}};
  target.defaultRuns = 50;
  target.check = [reach](const std::uint8_t* data, std::size_t size) -> std::string {
    volatile std::uint8_t sink = 0;
    if (size) sink = data[static_cast<long>(size) - 1 + reach];
    (void)sink;
    return {};
  };
  return fuzzing::Run(target).failure.empty() ? 0 : 1;
}

TEST(FuzzDriver, AnOverReadEndsTheProcess) {
  EXPECT_EQ(0u, testing_support::RunChild("FuzzOverRead", {L"0"}));
  EXPECT_EQ(0xE0u, testing_support::RunChild("FuzzOverRead", {L"1"}));  // the unhandled-fault exit
}

TEST(FuzzDriver, RunCountComesFromTheEnvironment) {
  EXPECT_EQ(123u, fuzzing::RunCount(123));
  _putenv("VORN_FUZZ_RUNS=45");
  EXPECT_EQ(45u, fuzzing::RunCount(123));
  _putenv("VORN_FUZZ_RUNS=");
  EXPECT_EQ(123u, fuzzing::RunCount(123));
}

}  // namespace

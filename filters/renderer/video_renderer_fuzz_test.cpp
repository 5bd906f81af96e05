// The renderer's connected input under the mutation driver: connected to the test kit's source
// and running without a clock (each sample is drawn as it comes), it is handed samples carrying
// types (the type change of DoRenderSample), the format block ending at a no-access page, and
// samples whose bytes and actual length lie, the buffer ending at a no-access page. Nothing may
// fault or hang; once the renderer stops it keeps at most one sample (its last frame); after each
// input a frame of the connected shape is taken without a fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testing/fuzz_driver.h"
#include "filters/base/testkit/fuzz_media_type.h"
#include "filters/base/testkit/guarded_sample.h"
#include "filters/base/testkit/video_types.h"
#include "filters/renderer/testing/renderer_testing.h"

namespace vren {
namespace {

// A sample of the case's own on the heap: the renderer may keep it until it stops.
struct Held {
  GuardedSample* sample = new GuardedSample;
  Held() { sample->AddRef(); }
  ~Held() {
    if (sample->Release() == 0) delete sample;
  }
};

class RendererFuzz : public RendererGraph {
 protected:
  void SetUp() override {
    RendererGraph::SetUp();
    Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2));
    renderer_->SetSyncSource(nullptr);
    source_->SetSyncSource(nullptr);
    Run();
    frame_.assign(720 * 480 * 2, 0x80);
  }

  // A hostile sample, then a frame of the connected shape; the renderer stopped and run again.
  std::string Deliver(const std::uint8_t* data, std::size_t size, LONG actual, const AM_MEDIA_TYPE* carried) {
    Held hostile, following;
    hostile.sample->SetPayload(data, size, actual, false);
    hostile.sample->SetCarriedType(carried);
    following.sample->SetPayload(frame_.data(), frame_.size(), static_cast<LONG>(frame_.size()), false);
    renderer_->Input()->Receive(hostile.sample);  // any answer: a refused type ends the stream
    renderer_->Input()->Receive(following.sample);
    drawn_ += Drawn();
    renderer_->Stop();
    // Stopped, the renderer may keep its last frame (to draw it again), nothing more.
    const LONG kept = hostile.sample->References() - 1 + following.sample->References() - 1;
    if (kept > 1) return "the stopped renderer holds " + std::to_string(kept) + " references on samples";
    const HRESULT hr = renderer_->Run(0);
    return hr == S_OK ? std::string() : "running again: " + std::to_string(hr);
  }

  fuzzing::Bytes frame_;
  long drawn_ = 0;  // frames drawn in all (the count starts again at each run)
};

TEST_F(RendererFuzz, TypesCarriedOnSamples) {
  fuzzing::Target target;
  target.name = "connected_type_renderer";
  target.seeds = FuzzTypeSeeds();
  target.seeds.push_back(EncodeFuzzType(MakeVideoType(352, 240, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2)));
  target.sizeFields = [](const fuzzing::Bytes& input) { return FuzzTypeSizeFields(input); };
  target.maxSize = 512;
  target.defaultRuns = 200;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    AM_MEDIA_TYPE type{};
    if (!DecodeFuzzType(data, size, &type)) return {};
    return Deliver(frame_.data(), frame_.size(), static_cast<LONG>(frame_.size()), &type);
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(drawn_, 0);
}

// Input: a payload (EncodeFuzzPayload: how the actual length is told, a value, the frame).
TEST_F(RendererFuzz, SamplePayloads) {
  fuzzing::Target target;
  target.name = "connected_payload_renderer";
  const fuzzing::Bytes seed = EncodeFuzzPayload(frame_);
  target.seeds = {seed};
  target.sizeFields = [](const fuzzing::Bytes&) { return std::vector<fuzzing::SizeField>{{1, 4}}; };
  target.maxSize = seed.size() + 4096;
  target.defaultRuns = 100;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    FuzzPayload payload{};
    if (!DecodeFuzzPayload(data, size, &payload)) return {};
    return Deliver(payload.data, payload.size, payload.actual, nullptr);
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(drawn_, 0);
}

}  // namespace
}  // namespace vren

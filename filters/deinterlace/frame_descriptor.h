// Where the frames of one stage of the processing chain lie and how they are shaped: three
// frame pointers (previous, current, next picture), the pitch, the width and the height.
// For the chain's input the slots hold the last three frames that arrived, the newest in slot 2.
#pragma once

#include <cstdint>

namespace deinterlace {

class FrameDescriptor {
 public:
  static constexpr int kSlots = 3;

  void SetFormat(int width, int height, int pitch) {
    width_ = width;
    height_ = height;
    pitch_ = pitch;
  }

  // The newest frame enters the history; after a reset (slot 2 empty) it fills all three slots,
  // so that the first frame serves as its own history.
  void PushFrame(std::uint8_t* frame) {
    if (!frames_[2]) {
      frames_[0] = frames_[1] = frames_[2] = frame;
      return;
    }
    frames_[0] = frames_[1];
    frames_[1] = frames_[2];
    frames_[2] = frame;
  }

  // Forgets every frame. Called whenever the frames it points into are released (start and
  // stop of streaming, flush, a new media type), so that no stale pointer is ever read.
  void ClearFrames() {
    frames_[2] = nullptr;
    frames_[0] = nullptr;
    frames_[1] = nullptr;
  }

  void SetFrame(std::uint8_t* frame) { frames_[1] = frame; }

  // 0, or -1 (nothing changed) for an index outside 0..2.
  int SetPlane(int index, std::uint8_t* frame) {
    if (index < 0 || index >= kSlots) return -1;
    frames_[index] = frame;
    return 0;
  }
  std::uint8_t* GetPlane(int index) const {
    return index < 0 || index >= kSlots ? nullptr : frames_[index];
  }

  int GetWidth() const { return width_; }
  int GetHeight() const { return height_; }
  int GetPitch() const { return pitch_; }

 private:
  std::uint8_t* frames_[kSlots] = {nullptr, nullptr, nullptr};
  int pitch_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace deinterlace

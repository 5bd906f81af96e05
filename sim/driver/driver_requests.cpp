#include "sim/driver/driver_requests.h"

#include <cstring>

#include "devices/core/link/packet_codecs.h"

namespace simdriver {
namespace {

constexpr std::uint32_t kHeaderSize = 24;  // set identifier, property identifier, kind

std::uint32_t ReadWord(const std::uint8_t* bytes, DWORD offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

void WriteWord(std::uint8_t* bytes, DWORD offset, std::uint32_t value) {
  std::memcpy(bytes + offset, &value, sizeof(value));
}

// The encoder parameters of the three recording-quality settings, as the capture graph sends them.
constexpr std::uint32_t kEncoderPresets[3][kSimDriverEncoderValues] = {
    {8000, 0, 2, 0, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
    {4000, 6000, 2, 1, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
    {2500, 0, 2, 0, 0, 3, 15, 4, 0x050E0716, 4, 0, 256, 1},
};

// What each property request of the encoder channel must look like.
struct PropertyShape {
  const GUID* set;
  std::uint32_t id;
  std::uint32_t kind;
  DWORD size;
};
constexpr PropertyShape kEncoderProperties[] = {
    {&kTunerPropertySet, 0, kKindSet, 28},   // audio-mode event
    {&kTunerPropertySet, 1, kKindSet, 28},   // scan switch
    {&kTunerPropertySet, 2, kKindSet, 32},   // frequency and mode
    {&kTunerPropertySet, 2, kKindGet, 32},
    {&kTunerPropertySet, 3, kKindGet, 28},   // signal level
    {&kEncodePropertySet, 0, kKindSet, 76},  // encoder parameters
    {&kEncodePropertySet, 1, kKindGet, 28},  // capture switch
    {&kEncodePropertySet, 1, kKindSet, 28},
    {&kEncodePropertySet, 3, kKindSet, 28},  // encoder-failure event
    {&kEncodePropertySet, 4, kKindSet, 28},  // encoder-stopped event
};

// The packet's header (at least kHeaderSize bytes) against the property table: the property's
// set, id and kind; ERROR_INVALID_FUNCTION for an unknown property, ERROR_INVALID_PARAMETER for
// a size the property does not have.
template <size_t N>
DWORD MatchShape(const Request& request, const PropertyShape (&shapes)[N], GUID* set, std::uint32_t* id,
                 std::uint32_t* kind) {
  std::memcpy(set, request.input, sizeof(*set));
  *id = ReadWord(request.input, 16);
  *kind = ReadWord(request.input, 20);
  for (const PropertyShape& shape : shapes) {
    if (IsEqualGUID(*shape.set, *set) && shape.id == *id && shape.kind == *kind) {
      return request.inSize == shape.size && request.outSize == shape.size ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
  }
  return ERROR_INVALID_FUNCTION;
}

DWORD RegisterEvent(CardRecord& card, SimDriverEventList list, std::uint32_t value, HANDLE driverHandle) {
  if (card.eventCount[list] >= kMaxEvents) return ERROR_NO_SYSTEM_RESOURCES;
  // Handle values travel in 32 bits; kernel handles fit in 32 bits on 64-bit Windows too.
  const HANDLE source = driver_packets::WordToHandle(value);
  HANDLE duplicate = nullptr;
  // Like a driver's object reference: the caller may close its handle at any time.
  if (!value || !DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &duplicate, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
    return ERROR_INVALID_HANDLE;
  }
  RegisteredEvent& entry = card.events[list][card.eventCount[list]++];
  entry.processId = GetCurrentProcessId();
  entry.handle = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(duplicate));
  entry.driverHandle = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(driverHandle));
  return ERROR_SUCCESS;
}

std::uint32_t SignalLevelAt(const CardRecord& card, std::uint32_t frequency) {
  const std::uint32_t count = card.stationCount < kMaxStations ? card.stationCount : kMaxStations;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (card.stations[i].frequency == frequency) return card.stations[i].level;
  }
  return 1;  // off station
}

DWORD AnswerProperty(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered) {
  if (request.inSize < kHeaderSize || request.inSize > kSimDriverMaxPacket) return ERROR_INVALID_FUNCTION;
  GUID set{};
  std::uint32_t id = 0, kind = 0;
  const DWORD shape = MatchShape(request, kEncoderProperties, &set, &id, &kind);
  if (shape != ERROR_SUCCESS) return shape;

  std::memcpy(answer, request.input, request.inSize);
  const std::uint32_t value = ReadWord(request.input, 24);
  const bool tuner = IsEqualGUID(set, kTunerPropertySet);
  DWORD error = ERROR_SUCCESS;
  if (tuner && id == 0) {
    error = RegisterEvent(card, kSimEventAudioMode, value, request.driverHandle);
  } else if (tuner && id == 1) {
    if (value > 1) return ERROR_INVALID_PARAMETER;
    card.scanSwitch = value;
  } else if (tuner && id == 2 && kind == kKindSet) {
    const std::uint32_t mode = ReadWord(request.input, 28);
    if (mode > 2) return ERROR_INVALID_PARAMETER;
    card.frequency = value;
    card.frequencyMode = mode;
  } else if (tuner && id == 2) {
    WriteWord(answer, 24, card.frequency);
    WriteWord(answer, 28, card.frequencyMode);
  } else if (tuner && id == 3) {
    WriteWord(answer, 24, SignalLevelAt(card, card.frequency));
  } else if (id == 0) {
    std::memcpy(card.encoderValues, request.input + kHeaderSize, sizeof(card.encoderValues));
    card.encoderPreset = EncoderPresetOf(card.encoderValues);
  } else if (id == 1 && kind == kKindSet) {
    card.captureSwitch = value;
  } else if (id == 1) {
    WriteWord(answer, 24, card.captureSwitch);
  } else if (id == 3) {
    error = RegisterEvent(card, kSimEventEncoderError, value, request.driverHandle);
  } else {
    error = RegisterEvent(card, kSimEventEncoderStopped, value, request.driverHandle);
  }
  if (error == ERROR_SUCCESS) *answered = request.outSize;
  return error;
}

// --- The second family's streaming device ------------------------------------------------

constexpr PropertyShape kStreamingProperties[] = {
    {&kStreamTunerSet, 0, kKindSet, 32},    // tuner event
    {&kStreamTunerSet, 1, kKindSet, 32},    // scan mode
    {&kStreamTunerSet, 2, kKindSet, 36},    // tune: frequency, mode in value 3
    {&kStreamTunerSet, 2, kKindGet, 36},    // tuned frequency
    {&kStreamTunerSet, 3, kKindGet, 32},    // signal level code
    {&kStreamSwitchSet, 1, kKindGet, 32},   // capture switch 1
    {&kStreamSwitchSet, 1, kKindSet, 32},
    {&kStreamSwitchSet, 2, kKindGet, 32},   // capture switch 0
    {&kStreamSwitchSet, 2, kKindSet, 32},
    {&kStreamRecordSet, 0, kKindSet, 32},   // record event 0 (encoder failure)
    {&kStreamRecordSet, 1, kKindSet, 32},   // record event 1 (stream stopped)
    {&kStreamRecordSet, 2, kKindGet, 108},  // encoder parameters
    {&kStreamRecordSet, 2, kKindSet, 108},
};

DWORD AnswerStreamingProperty(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered) {
  if (request.inSize < kHeaderSize) return ERROR_INVALID_PARAMETER;
  GUID set{};
  std::uint32_t id = 0, kind = 0;
  const DWORD shape = MatchShape(request, kStreamingProperties, &set, &id, &kind);
  if (shape != ERROR_SUCCESS) return shape;
  const std::uint32_t tunerIndex = ReadWord(request.input, 24);
  if (tunerIndex >= kSimDriverMaxTuners) return ERROR_INVALID_PARAMETER;
  SimDriverTunerState& tuner = card.tuners[tunerIndex];

  std::memcpy(answer, request.input, request.inSize);
  const std::uint32_t value = ReadWord(request.input, 28);
  const bool set2 = kind == kKindSet;
  DWORD error = ERROR_SUCCESS;
  if (IsEqualGUID(set, kStreamTunerSet)) {
    if (id == 0) {
      error = RegisterEvent(card, kSimEventAudioMode, value, request.driverHandle);
    } else if (id == 1) {
      tuner.scanMode = value;
    } else if (id == 2 && set2) {
      const std::uint32_t mode = ReadWord(request.input, 32);
      if (mode != 1 && mode != 2) return ERROR_INVALID_PARAMETER;
      tuner.frequency = value;
      tuner.tuneMode = mode;
    } else if (id == 2) {
      WriteWord(answer, 28, tuner.frequency);
    } else {
      WriteWord(answer, 28, SignalLevelAt(card, tuner.frequency));
    }
  } else if (IsEqualGUID(set, kStreamSwitchSet)) {
    std::uint32_t& sw = id == 1 ? tuner.switch1 : tuner.switch0;
    if (set2 && value > 1) return ERROR_INVALID_PARAMETER;
    if (set2) {
      sw = value;
    } else {
      WriteWord(answer, 28, sw);
    }
  } else if (id == 0 || id == 1) {
    error = RegisterEvent(card, id == 0 ? kSimEventEncoderError : kSimEventEncoderStopped, value,
                          request.driverHandle);
  } else if (set2) {
    // Kept packed, as the callers hold it; the wire carries it aligned.
    driver_packets::EncoderParameterPacket packet;
    std::memcpy(&packet, request.input, sizeof(packet));
    const auto packed = driver_packets::PackEncoderRecord(packet.record);
    std::memcpy(tuner.encoderRecord, packed.data(), sizeof(tuner.encoderRecord));
  } else {
    driver_packets::EncoderParameterRecord packed;
    std::memcpy(packed.data(), tuner.encoderRecord, packed.size());
    driver_packets::EncoderParameterPacket packet;
    std::memcpy(&packet, request.input, sizeof(packet));
    packet.record = driver_packets::AlignEncoderRecord(packed);
    packet.record.words[0] = tunerIndex;  // the key stays as sent
    std::memcpy(answer, &packet, sizeof(packet));
  }
  if (error == ERROR_SUCCESS) *answered = request.outSize;
  return error;
}

// --- The third family's control channel ---------------------------------------------------

constexpr DWORD kFirmwareHeaderSize = 12;
constexpr DWORD kFirmwareTrailerSize = 4;
constexpr DWORD kVersionReplySize = 12;

DWORD AnswerHardwareVersion(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered) {
  if (request.outSize != kVersionReplySize || request.inSize != 0) return ERROR_INVALID_PARAMETER;
  // Noise in every byte but the version's, so that callers must mask.
  card.versionNoise = card.versionNoise * 1664525u + 1013904223u;
  const std::uint32_t noise = card.versionNoise;
  WriteWord(answer, 0, noise ^ 0x5A5A5A5Au);
  WriteWord(answer, 4, (noise & 0xFF00FFFFu) | ((card.hardwareVersion & 0xFFu) << 16));
  WriteWord(answer, 8, ~noise);
  *answered = kVersionReplySize;
  return ERROR_SUCCESS;
}

DWORD AnswerFirmwareBlock(CardRecord& card, const Request& request, DWORD* answered) {
  if (request.inSize < kFirmwareHeaderSize + kFirmwareTrailerSize || request.outSize != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::uint32_t length = ReadWord(request.input, 8);
  if (ReadWord(request.input, 0) != 0 || request.inSize - kFirmwareHeaderSize - kFirmwareTrailerSize != length) {
    return ERROR_INVALID_PARAMETER;
  }
  SimDriverFirmwareBlock& block = card.firmware[card.firmwareCount++ % kSimDriverMaxFirmwareBlocks];
  block.parameter = ReadWord(request.input, 4);
  block.length = length;
  block.hash = SimDriver_HashBytes(request.input + kFirmwareHeaderSize, length);
  block.trailing = ReadWord(request.input, kFirmwareHeaderSize + length);
  *answered = 0;
  return ERROR_SUCCESS;
}

DWORD AnswerDeviceInfo(const std::uint32_t* words, DWORD size, const Request& request,
                       std::uint8_t* answer, DWORD* answered) {
  if (request.outSize != size || (request.inSize != 0 && request.inSize != size)) return ERROR_INVALID_PARAMETER;
  std::memcpy(answer, words, size);
  *answered = size;
  return ERROR_SUCCESS;
}

}  // namespace

int EncoderPresetOf(const std::uint32_t (&values)[kSimDriverEncoderValues]) {
  for (int preset = 0; preset < 3; ++preset) {
    if (std::memcmp(values, kEncoderPresets[preset], sizeof(values)) == 0) return preset;
  }
  return -1;
}

bool FaultMatches(const CardRecord& card, const Request& request) {
  if (!card.faultArmed) return false;
  const SimDriverFault& fault = card.fault;
  if (fault.code != 0 && fault.code != request.code) return false;
  const bool anySet = IsEqualGUID(fault.set, GUID_NULL);
  if (anySet && fault.id == 0xFFFFFFFFu && fault.kind == 0) return true;
  // Set, id and kind exist only in command packets.
  if (request.code != kPropertyCode || request.channel == Channel::Control || request.inSize < kHeaderSize) return false;
  GUID set{};
  std::memcpy(&set, request.input, sizeof(set));
  if (!anySet && !IsEqualGUID(set, fault.set)) return false;
  if (fault.id != 0xFFFFFFFFu && fault.id != ReadWord(request.input, 16)) return false;
  return fault.kind == 0 || fault.kind == ReadWord(request.input, 20);
}

DWORD AnswerRequestLocked(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered) {
  *answered = 0;
  // Every channel reads the card's two information blocks.
  if (request.code == kDeviceInfo12Code) return AnswerDeviceInfo(card.blockA, sizeof(card.blockA), request, answer, answered);
  if (request.code == kDeviceInfo32Code) return AnswerDeviceInfo(card.blockB, sizeof(card.blockB), request, answer, answered);
  switch (request.channel) {
    case Channel::Encoder:
      return request.code == kPropertyCode ? AnswerProperty(card, request, answer, answered) : ERROR_INVALID_FUNCTION;
    case Channel::Streaming:
      return request.code == kPropertyCode ? AnswerStreamingProperty(card, request, answer, answered)
                                           : ERROR_INVALID_FUNCTION;
    case Channel::Control:
      // No command packets on this channel: 0x220000 fails like any unknown code.
      if (request.code == kHardwareVersionCode) return AnswerHardwareVersion(card, request, answer, answered);
      if (request.code == kFirmwareBlockCode) return AnswerFirmwareBlock(card, request, answered);
      return ERROR_INVALID_FUNCTION;
  }
  return ERROR_INVALID_FUNCTION;
}

}  // namespace simdriver

extern "C" std::uint32_t SimDriver_HashBytes(const void* bytes, UINT size) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  std::uint32_t hash = 2166136261u;
  for (UINT i = 0; p && i < size; ++i) hash = (hash ^ p[i]) * 16777619u;
  return hash;
}

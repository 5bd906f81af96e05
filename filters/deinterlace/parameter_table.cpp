#include "filters/deinterlace/parameter_table.h"

#include <atomic>
#include <cstring>

#include "filters/deinterlace/registry_readers.h"

namespace deinterlace {

namespace {

// Values are written by other threads (and modules) without a lock: single relaxed words.
std::int32_t LoadValue(const std::int32_t& value) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(value)).load(std::memory_order_relaxed);
}
void StoreValue(std::int32_t& value, std::int32_t v) {
  std::atomic_ref<std::int32_t>(value).store(v, std::memory_order_relaxed);
}

void CopyTruncated(char* destination, size_t capacity, const char* source) {
  const size_t length = strnlen(source, capacity - 1);
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

}  // namespace

ParameterTable::ParameterTable() {
  std::memset(&layout_, 0, sizeof(layout_));
  std::memset(storage_, 0, sizeof(storage_));
  CopyTruncated(layout_.key, sizeof(layout_.key), kInitialParameterKey);
}

int ParameterTable::Count() const {
  const int count = layout_.count;
  return count < 0 ? 0 : (count > kParameterCapacity ? kParameterCapacity : count);
}

ParameterRecord* ParameterTable::FindRecord(const char* name, int* index) const {
  if (!name || !*name) return nullptr;
  const size_t length = std::strlen(name);
  if (length >= kParameterNameSize) return nullptr;
  // Looked up every frame, so no record name is measured: a record is compared only when its
  // name has a terminator where this name ends and the same last character (which a name of
  // another length seldom has); the bytes before decide. A name without a terminator (32
  // characters) never matches.
  const size_t last = length - 1;
  const int count = Count();
  for (int i = 0; i < count; ++i) {
    ParameterRecord* record = layout_.records[i];
    if (record && record->name[length] == '\0' && record->name[last] == name[last] &&
        std::memcmp(record->name, name, last) == 0) {
      if (index) *index = i + 1;
      return record;
    }
  }
  return nullptr;
}

int ParameterTable::Register(const char* name, int minimum, int maximum, int defaultValue, int flags) {
  if (!name || !*name || std::strlen(name) >= kParameterNameSize || minimum > maximum) return -1;
  int index = 0;
  if (ParameterRecord* existing = FindRecord(name, &index)) {
    existing->minimum = minimum;
    existing->maximum = maximum;
    existing->defaultValue = defaultValue;
    existing->flags = flags;
    StoreValue(existing->value, ClampParameter(LoadValue(existing->value), minimum, maximum));
    return index;
  }
  const int count = Count();
  if (count >= kParameterCapacity) return -1;
  ParameterRecord& record = storage_[count];
  std::memset(&record, 0, sizeof(record));
  record.value = ClampParameter(defaultValue, minimum, maximum);
  record.minimum = minimum;
  record.maximum = maximum;
  record.defaultValue = defaultValue;
  record.flags = flags;
  CopyTruncated(record.name, sizeof(record.name), name);
  layout_.records[count] = &record;
  // Publish the record before the count that makes it visible to walkers.
  std::atomic_ref<std::int32_t>(layout_.count).store(count + 1, std::memory_order_release);
  return count + 1;
}

int ParameterTable::GetByName(const char* name) const {
  const ParameterRecord* record = FindRecord(name, nullptr);
  return record ? LoadValue(record->value) : -1;
}

int ParameterTable::SetByName(const char* name, int value) {
  ParameterRecord* record = FindRecord(name, nullptr);
  if (!record) return -1;
  StoreValue(record->value, ClampParameter(value, record->minimum, record->maximum));
  return 0;
}

int ParameterTable::Find(const char* name, int* minimum, int* maximum, int* flags) const {
  int index = -1;
  const ParameterRecord* record = FindRecord(name, &index);
  if (minimum) *minimum = record ? record->minimum : -1;
  if (maximum) *maximum = record ? record->maximum : -1;
  if (flags) *flags = record ? record->flags : -1;
  return record ? index : -1;
}

int ParameterTable::GetValueAt(int index) const {
  if (index < 1 || index > Count()) return -1;
  const ParameterRecord* record = layout_.records[index - 1];
  return record ? LoadValue(record->value) : -1;
}

void ParameterTable::SetKey(const char* path) {
  if (path) CopyTruncated(layout_.key, sizeof(layout_.key), path);
}

void ParameterTable::Load() {
  const int count = Count();
  for (int i = 0; i < count; ++i) {
    ParameterRecord* record = layout_.records[i];
    if (record) StoreValue(record->value, ClampParameter(record->defaultValue, record->minimum, record->maximum));
  }
  for (int i = 0; i < count; ++i) {
    ParameterRecord* record = layout_.records[i];
    if (!record) continue;
    char name[kParameterNameSize];
    CopyTruncated(name, sizeof(name), record->name);
    DWORD value = 0;
    if (ReadRegistryDword(layout_.key, name, &value) == ERROR_SUCCESS) {
      StoreValue(record->value, ClampParameter(static_cast<std::int32_t>(value), record->minimum, record->maximum));
    }
  }
}

bool RegisterFilterParameters(ParameterTable& table, bool processorNeedsMmxPath) {
  constexpr int kFlags = 2;
  table.Register(params::kDebugMessages, 0, 1, 0, kFlags);
  table.Register(params::kFrameDrop, 0, 1, 0, kFlags);
  table.Register(params::kFrameDropTime, 1, 40, 20, kFlags);
  table.Register(params::kRunMmx, 0, 1, 0, kFlags);
  table.Register(params::kAllowMcDeinterlacing, 0, 1, 0, kFlags);
  table.Load();

  bool mmxPath = processorNeedsMmxPath;
  if (table.GetByName(params::kRunMmx) == 1) {
    mmxPath = true;
  } else {
    table.SetByName(params::kRunMmx, mmxPath ? 1 : 0);
  }

  table.Register(params::kShowMotionVectors, 0, 1, 0, kFlags);
  if (mmxPath) {
    table.Register(params::kDeintermode, 7, 9, 9, kFlags);
  } else {
    const bool allowMc = table.GetByName(params::kAllowMcDeinterlacing) == 1;
    table.Register(params::kDeintermode, 0, allowMc ? 9 : 4, 4, kFlags);
  }
  table.Register(params::kSingleField, 0, 2, 0, kFlags);
  table.Register(params::kDvdBypass, 0, 1, 1, kFlags);
  table.Load();
  return mmxPath;
}

}  // namespace deinterlace

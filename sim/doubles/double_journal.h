// The journal of the outside-module doubles: every call a double receives is recorded, and a
// test can make the next calls of a method fail. The module of the doubles is copied under
// several file names and each copy has globals of its own, so the journal lives in a section
// named after the process ("Local\VornDoubles_<pid>"), shared by every copy and by the test.
// Header-only: the doubles and the tests include it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <cstring>
#include <string>
#include <vector>

namespace doubles {

constexpr std::uint32_t kJournalEntries = 2048;
constexpr std::uint32_t kJournalFailures = 32;
constexpr std::uint32_t kNameChars = 32;

struct JournalEntry {
  char object[kNameChars];  // the double's name, e.g. "SoundSelector"
  char method[kNameChars];  // e.g. "SelectorSet"
  std::int64_t args[4];
  std::int32_t result;
  std::uint32_t threadId;
};
static_assert(sizeof(JournalEntry) == 104);

struct JournalFailure {
  char object[kNameChars];
  char method[kNameChars];
  std::int32_t error;
  std::uint32_t times;  // calls left to fail; 0 free slot
};
static_assert(sizeof(JournalFailure) == 72);

struct JournalState {
  std::uint32_t next;  // entries written so far (the ring keeps the last kJournalEntries)
  std::uint32_t reserved;
  std::int64_t values[16];  // test-set values (e.g. a mixer state, a renderer's fullness)
  JournalFailure failures[kJournalFailures];
  JournalEntry entries[kJournalEntries];
};

// This process's journal (mapped on first use; lives to process exit).
class Journal {
 public:
  static Journal& Instance() {
    static Journal* journal = new Journal();
    return *journal;
  }

  // Records a call; returns the injected failure for it, or S_OK.
  HRESULT Record(const char* object, const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0,
                 std::int64_t a2 = 0, std::int64_t a3 = 0) {
    if (!state_) return S_OK;
    Lock lock(mutex_);
    HRESULT result = S_OK;
    for (JournalFailure& f : state_->failures) {
      if (f.times && Same(f.object, object) && Same(f.method, method)) {
        result = f.error;
        --f.times;
        break;
      }
    }
    JournalEntry& e = state_->entries[state_->next % kJournalEntries];
    Copy(e.object, object);
    Copy(e.method, method);
    e.args[0] = a0;
    e.args[1] = a1;
    e.args[2] = a2;
    e.args[3] = a3;
    e.result = result;
    e.threadId = GetCurrentThreadId();
    ++state_->next;
    return result;
  }

  // The next `times` calls of object.method fail with `error`.
  bool InjectFailure(const char* object, const char* method, HRESULT error, std::uint32_t times) {
    if (!state_) return false;
    Lock lock(mutex_);
    for (JournalFailure& f : state_->failures) {
      if (f.times == 0) {
        Copy(f.object, object);
        Copy(f.method, method);
        f.error = error;
        f.times = times;
        return true;
      }
    }
    return false;
  }

  // The injected failure of object.method, or S_OK, without recording the call unless it
  // fails: for calls made too often to record each (a filter's state changes).
  HRESULT TakeFailure(const char* object, const char* method) {
    if (!state_) return S_OK;
    {
      Lock lock(mutex_);
      const bool pending = std::any_of(std::begin(state_->failures), std::end(state_->failures),
                                       [&](const JournalFailure& f) {
                                         return f.times && Same(f.object, object) && Same(f.method, method);
                                       });
      if (!pending) return S_OK;
    }
    return Record(object, method);
  }

  // Injected failures of object.method end (those not used yet).
  void Lift(const char* object, const char* method) {
    if (!state_) return;
    Lock lock(mutex_);
    for (JournalFailure& f : state_->failures) {
      if (f.times && Same(f.object, object) && Same(f.method, method)) f.times = 0;
    }
  }

  // The recorded calls of `object` (all objects when null), oldest first.
  std::vector<JournalEntry> Calls(const char* object = nullptr, const char* method = nullptr) const {
    std::vector<JournalEntry> out;
    if (!state_) return out;
    Lock lock(mutex_);
    const std::uint32_t n = state_->next;
    for (std::uint32_t i = n > kJournalEntries ? n - kJournalEntries : 0; i < n; ++i) {
      const JournalEntry& e = state_->entries[i % kJournalEntries];
      if ((!object || Same(e.object, object)) && (!method || Same(e.method, method))) out.push_back(e);
    }
    return out;
  }

  void Reset() {
    if (!state_) return;
    Lock lock(mutex_);
    std::memset(state_, 0, sizeof(JournalState));
  }

  std::int64_t Value(std::uint32_t index) const { return state_ && index < 16 ? state_->values[index] : 0; }
  void SetValue(std::uint32_t index, std::int64_t value) {
    if (state_ && index < 16) state_->values[index] = value;
  }

 private:
  Journal() {
    const std::wstring name = L"Local\\VornDoubles_" + std::to_wstring(GetCurrentProcessId());
    mutex_ = CreateMutexW(nullptr, FALSE, (name + L"_Lock").c_str());
    section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(JournalState),
                                  name.c_str());
    if (section_) state_ = static_cast<JournalState*>(MapViewOfFile(section_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  }

  class Lock {
   public:
    explicit Lock(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, 10000); }
    ~Lock() { ReleaseMutex(mutex_); }

   private:
    HANDLE mutex_;
  };

  static bool Same(const char* a, const char* b) { return std::strncmp(a, b, kNameChars - 1) == 0; }
  static void Copy(char (&to)[kNameChars], const char* from) {
    std::strncpy(to, from ? from : "", kNameChars - 1);
    to[kNameChars - 1] = '\0';
  }

  HANDLE mutex_ = nullptr;    // lives to process exit
  HANDLE section_ = nullptr;  // lives to process exit
  JournalState* state_ = nullptr;
};

}  // namespace doubles

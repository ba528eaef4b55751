#include "session/channel_value.h"

#include <chrono>
#include <cstring>

#include "util/aes_text.h"
#include "util/diag.h"
#include "util/tool.h"
#include "util/url_check.h"

namespace qm::session {

namespace {

unsigned char fold(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

bool sameChannel(const std::optional<std::string>& name, const char* channel) {
  if (!name) return false;
  std::size_t i = 0;
  for (; i < name->size() && channel[i]; ++i) {
    if (fold((*name)[i]) != fold(channel[i])) return false;
  }
  return i == name->size() && !channel[i];
}

void wipeOptional(std::optional<std::string>& text) {
  if (text) aes::wipe(*text);
  text.reset();
}

// Empties the URL check list however a read ends.
struct CheckListReset {
  ~CheckListReset() { url::clearCheckList(); }
};

}  // namespace

ChannelValueStore::ChannelValueStore(Clock clock) : clock_(std::move(clock)) {}

ChannelValueStore::~ChannelValueStore() {
  for (int i = 0; i < kChannelSlots; ++i) resetEntry(i);
  aes::wipe(key_, sizeof key_);
  aes::wipe(ivSource_, sizeof ivSource_);
}

std::int64_t ChannelValueStore::systemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ChannelValueStore::initialise() {
  for (int i = 0; i < kChannelSlots; ++i) resetEntry(i);
  bool ok = tool::randomBytes(key_, sizeof key_) && tool::randomBytes(ivSource_, sizeof ivSource_);
  if (!ok) diag::error("QuillmarkValue key: ", "Random source fail");
  return ok;
}

void ChannelValueStore::resetEntry(int index) {
  if (index < 0 || index >= kChannelSlots) return;
  Entry& entry = entries_[index];
  wipeOptional(entry.channel);
  aes::wipe(entry.domainList);
  entry.timeoutMinutes = 0;
  entry.expiry = 0;
  wipeOptional(entry.cipher);
}

ChannelValueStore::Entry* ChannelValueStore::find(const char* channel) {
  for (Entry& entry : entries_) {
    if (sameChannel(entry.channel, channel)) return &entry;
  }
  return nullptr;
}

// The entry of the channel, else the first free one, else the last of the entries that a full
// table frees because they expired (or never expire).
ChannelValueStore::Entry* ChannelValueStore::choose(const char* channel, std::int64_t now) {
  if (Entry* entry = find(channel)) return entry;
  Entry* chosen = nullptr;
  for (Entry& entry : entries_) {
    if (!entry.channel) {
      chosen = &entry;
      break;
    }
  }
  if (!chosen) {
    for (int i = 0; i < kChannelSlots; ++i) {
      if (entries_[i].expiry < now) {
        resetEntry(i);
        chosen = &entries_[i];
      }
    }
  }
  if (chosen) chosen->channel = channel;
  return chosen;
}

int ChannelValueStore::store(const char* channel, const char* domainList, int timeoutMinutes,
                             const char* value) {
  if (!channel) {
    QM_NULL_PARAMETER("channel");
    return kChannelMissingParameter;
  }
  if (!domainList) {
    QM_NULL_PARAMETER("domain_list");
    return kChannelMissingParameter;
  }
  if (timeoutMinutes < 0) return kChannelMissingParameter;
  if (!value) {
    QM_NULL_PARAMETER("value");
    return kChannelMissingParameter;
  }
  std::int64_t now = clock_();
  Entry* entry = choose(channel, now);
  if (!entry) {
    diag::warning("QuillmarkValue: ", "Full");
    return kChannelStoreFull;
  }
  aes::wipe(entry->domainList);
  entry->domainList = domainList;
  entry->timeoutMinutes = timeoutMinutes;
  entry->expiry = timeoutMinutes == 0 ? 0 : now + 60LL * timeoutMinutes;
  wipeOptional(entry->cipher);
  entry->cipher = aes::encryptText(value, key_, ivSource_);
  if (!entry->cipher) QM_ALLOCATION_FAILURE();
  return 0;
}

std::optional<std::string> ChannelValueStore::read(const char* channel, const char* origin) {
  CheckListReset checkListReset;
  if (!channel) {
    QM_NULL_PARAMETER("channel");
    return std::string();
  }
  if (!origin) {
    QM_NULL_PARAMETER("domain");
    return std::string();
  }
  Entry* entry = find(channel);
  if (!entry) {
    diag::warning("QuillmarkValue no current channel", channel);
    return std::string();
  }
  url::setUnlockURL(entry->domainList.c_str());
  url::checkOrigin(origin);
  if (!url::unlocked()) {
    diag::warning("QuillmarkValue url check fail", origin);
    return std::string();
  }
  if (entry->expiry == 0) {
    diag::normal("QuillmarkValue: ", "No expired time");
  } else {
    std::int64_t now = clock_();
    diag::normal("QuillmarkValue current_time: ", static_cast<long long>(now));
    if (now > entry->expiry) {
      diag::warning("QuillmarkValue: ", "Timeout");
      diag::warning("QuillmarkValue expired_time: ", static_cast<long long>(entry->expiry));
      return std::string();
    }
    entry->expiry = now + 60LL * entry->timeoutMinutes;
    diag::normal("QuillmarkValue update expired_time: ", static_cast<long long>(entry->expiry));
  }
  std::optional<std::string> plain;
  if (entry->cipher) {
    plain = aes::decryptText(entry->cipher->data(), entry->cipher->size(), key_, ivSource_);
  }
  if (!plain) QM_ALLOCATION_FAILURE();
  return plain;
}

ChannelValueStore& channelValues() {
  static ChannelValueStore store;
  return store;
}

}  // namespace qm::session

#include "platform/posix/session_watch.h"

#ifdef QUILLMARK_HAVE_SDBUS
#include <systemd/sd-bus.h>

#include <poll.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#endif

#include "platform/channel.h"

namespace qm::platform::posix {

#ifndef QUILLMARK_HAVE_SDBUS

std::unique_ptr<SessionWatch> SessionWatch::open(std::string* whyNot) {
  if (whyNot != nullptr) *whyNot = "built without system bus support";
  return nullptr;
}

#else

namespace {

constexpr char kLogin[] = "org.freedesktop.login1";
constexpr char kSessionInterface[] = "org.freedesktop.login1.Session";
constexpr std::uint64_t kCallTimeoutUs = 2'000'000;

std::string describe(const sd_bus_error& error, int rc) {
  if (error.message != nullptr) return error.message;
  if (error.name != nullptr) return error.name;
  return std::strerror(rc < 0 ? -rc : rc);
}

class BusError {
 public:
  ~BusError() { sd_bus_error_free(&error_); }
  sd_bus_error* get() { return &error_; }
  const sd_bus_error& operator*() const { return error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

class LogindWatch : public SessionWatch {
 public:
  ~LogindWatch() override {
    for (sd_bus_slot* slot : slots_) sd_bus_slot_unref(slot);
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
  }

  bool start(std::string* whyNot) {
    int rc = sd_bus_open_system(&bus_);
    if (rc < 0) {
      *whyNot = std::string("no system bus (") + std::strerror(-rc) + ")";
      return false;
    }
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUs);
    // "auto": the caller's own session, else the user's display session.
    BusError error;
    char* id = nullptr;
    rc = sd_bus_get_property_string(bus_, kLogin, "/org/freedesktop/login1/session/auto",
                                    kSessionInterface, "Id", error.get(), &id);
    if (rc < 0) {
      *whyNot = "no login session (" + describe(*error, rc) + ")";
      return false;
    }
    sd_bus_message* reply = nullptr;
    rc = sd_bus_call_method(bus_, kLogin, "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "GetSession", error.get(), &reply,
                            "s", id);
    std::free(id);
    const char* path = nullptr;
    if (rc >= 0) rc = sd_bus_message_read(reply, "o", &path);
    if (rc >= 0) path_ = path;
    sd_bus_message_unref(reply);
    if (rc < 0) {
      *whyNot = "login session not found (" + describe(*error, rc) + ")";
      return false;
    }
    int remote = 0;
    int active = 1;
    sd_bus_get_property_trivial(bus_, kLogin, path_.c_str(), kSessionInterface, "Remote", nullptr,
                                'b', &remote);
    sd_bus_get_property_trivial(bus_, kLogin, path_.c_str(), kSessionInterface, "Active", nullptr,
                                'b', &active);
    remote_ = remote != 0;
    active_ = active != 0;

    struct Match {
      const char* interface;
      const char* member;
      sd_bus_message_handler_t handler;
    };
    const Match matches[] = {
        {kSessionInterface, "Lock", &LogindWatch::onLock},
        {kSessionInterface, "Unlock", &LogindWatch::onUnlock},
        {"org.freedesktop.DBus.Properties", "PropertiesChanged", &LogindWatch::onProperties},
    };
    for (const Match& match : matches) {
      sd_bus_slot* slot = nullptr;
      rc = sd_bus_match_signal(bus_, &slot, kLogin, path_.c_str(), match.interface, match.member,
                               match.handler, this);
      if (rc < 0) {
        *whyNot = std::string("session signals not available (") + std::strerror(-rc) + ")";
        return false;
      }
      slots_.push_back(slot);
    }
    return true;
  }

  int fd() const override { return sd_bus_get_fd(bus_); }
  short events() const override {
    int events = sd_bus_get_events(bus_);
    return static_cast<short>(events < 0 ? POLLIN : events);
  }
  int timeoutMs() const override {
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
    if (until <= nowUs) return 0;
    std::uint64_t ms = (until - nowUs + 999) / 1000;
    return ms > 60'000 ? 60'000 : static_cast<int>(ms);
  }

  bool process(std::vector<int>& codes) override {
    sink_ = &codes;
    int rc;
    while ((rc = sd_bus_process(bus_, nullptr)) > 0) {
    }
    sink_ = nullptr;
    return rc >= 0;
  }

 private:
  void report(int code) {
    if (sink_ != nullptr) sink_->push_back(code);
  }

  static int onLock(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<LogindWatch*>(self)->report(kSessionLock);
    return 0;
  }
  static int onUnlock(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<LogindWatch*>(self)->report(kSessionUnlock);
    return 0;
  }
  // PropertiesChanged(s interface, a{sv} changed, as invalidated): "Active" is the session
  // gaining or losing its seat (a switch of user or a disconnected remote session).
  static int onProperties(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindWatch*>(userdata);
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 ||
        std::strcmp(interface, kSessionInterface) != 0 ||
        sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) {
      return 0;
    }
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
      const char* name = nullptr;
      if (sd_bus_message_read(message, "s", &name) < 0) return 0;
      if (std::strcmp(name, "Active") == 0 &&
          sd_bus_message_enter_container(message, 'v', "b") > 0) {
        int active = 0;
        if (sd_bus_message_read(message, "b", &active) < 0) return 0;
        sd_bus_message_exit_container(message);
        if ((active != 0) != self->active_) {
          self->active_ = active != 0;
          int code = self->remote_
                         ? (self->active_ ? kSessionRemoteConnect : kSessionRemoteDisconnect)
                         : (self->active_ ? kSessionConsoleConnect : kSessionConsoleDisconnect);
          self->report(code);
        }
      } else if (sd_bus_message_skip(message, "v") < 0) {
        return 0;
      }
      sd_bus_message_exit_container(message);
    }
    return 0;
  }

  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_slot*> slots_;
  std::string path_;
  bool remote_ = false;
  bool active_ = true;
  std::vector<int>* sink_ = nullptr;
};

}  // namespace

std::unique_ptr<SessionWatch> SessionWatch::open(std::string* whyNot) {
  std::string reason;
  auto watch = std::make_unique<LogindWatch>();
  if (!watch->start(&reason)) {
    if (whyNot != nullptr) *whyNot = reason;
    return nullptr;
  }
  return watch;
}

#endif

}  // namespace qm::platform::posix

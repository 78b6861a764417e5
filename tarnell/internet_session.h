#pragma once

#include <atomic>
#include <memory>
#include <string>

// Internal to the library: what a download needs of the session it was started in.
namespace tarnell {

struct InternetSession {
  std::string agent;
  unsigned long access_type = 0;
  std::string proxy;
  std::string no_proxy;  // libcurl's comma-separated form
  // Set when the session closes; downloads still running in it then fail, as they would when
  // their parent handle goes away.
  std::atomic<bool> closed{false};
};

// libcurl's global set-up, done once for the process; false when it failed.
bool EnsureCurlReady();

// Sessions are looked up by handle so that a download started with a stale or foreign handle
// fails cleanly, and shared so that closing a session never leaves a download a dangling one.
void* RegisterInternetSession(std::shared_ptr<InternetSession> session);
std::shared_ptr<InternetSession> FindInternetSession(void* handle);
void UnregisterInternetSession(void* handle);

}  // namespace tarnell

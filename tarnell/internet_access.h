#pragma once

#include <tarnell/visibility.h>

#include <mutex>

// Level of the internet library on the scale of its 1.x releases: 0, 1 or 2 for 1.0, 1.1 and
// 1.2; 3 for any other answer or when the library cannot be asked. The library underneath is
// libcurl: a libcurl that answers and speaks HTTP offers everything the 1.2 level stood for
// (proxies, redirects, HTTPS), so it reports kIEVersion1_2; otherwise kIEVersionOther.
enum TIEVersion {
  kIEVersion1_0 = 0,
  kIEVersion1_1 = 1,
  kIEVersion1_2 = 2,
  kIEVersionOther = 3,
};

namespace tarnell {

// Access types of MyInternetAccess::Open.
constexpr unsigned long kInternetOpenTypePreconfig = 0;  // the environment's proxy settings
constexpr unsigned long kInternetOpenTypeDirect = 1;     // no proxy at all
constexpr unsigned long kInternetOpenTypeProxy = 3;      // the proxy and bypass list given
constexpr unsigned long kInternetOpenTypePreconfigNoAutoproxy = 4;

// Status notifications raised while sessions and downloads run.
constexpr unsigned long kInternetStatusConnectedToServer = 21;
constexpr unsigned long kInternetStatusSendingRequest = 30;
constexpr unsigned long kInternetStatusClosingConnection = 50;

}  // namespace tarnell

// An internet session: the agent text and proxy settings that downloads started in it use.
// The most recently constructed instance is remembered globally (Latest()). Notifications
// about a session reach the instance that owns it.
class TARNELL_API MyInternetAccess {
 public:
  MyInternetAccess();
  MyInternetAccess(const MyInternetAccess&) = delete;
  MyInternetAccess& operator=(const MyInternetAccess&) = delete;
  // Closes the session; downloads still running in it fail.
  virtual ~MyInternetAccess();

  // Opens a session; one that is open already is closed first. `agent` may be null (no agent
  // text is sent). With kInternetOpenTypeProxy, `proxy` is a libcurl proxy text
  // ("host:port", "http://host:port") and `proxyBypass` lists hosts reached directly,
  // separated by ';', ',' or blanks ("*.example.com" and "<local>" are understood). Returns
  // 1, or 0 with EINVAL for an unknown access type or a missing proxy.
  int Open(const char* agent, unsigned long accessType, const char* proxy, const char* proxyBypass);
  // Closes the session under the lock; downloads still running in it fail.
  void Close();
  int IsOpen();
  // The session handle that downloads are started with; null when closed.
  void* InternetHandle();
  TIEVersion GetIEVersion();
  void Lock();
  void Unlock();

  // Status notifications about this session (no download involved): on closing its
  // connection the session handle is forgotten.
  void StatusNotification(unsigned long status);

  // The most recently constructed instance; null once that one is destroyed.
  static MyInternetAccess* Latest();

 private:
  void* session_ = nullptr;
  std::recursive_mutex lock_;
};

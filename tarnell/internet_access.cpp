#include <curl/curl.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/internet_access.h>
#include <tarnell/internet_session.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <new>

namespace tarnell {

namespace {

std::mutex g_sessions_lock;
std::map<void*, std::shared_ptr<InternetSession>>& Sessions() {
  static auto* sessions = new std::map<void*, std::shared_ptr<InternetSession>>;
  return *sessions;
}

}  // namespace

bool EnsureCurlReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

void* RegisterInternetSession(std::shared_ptr<InternetSession> session) {
  void* handle = session.get();
  std::lock_guard<std::mutex> guard(g_sessions_lock);
  Sessions()[handle] = std::move(session);
  return handle;
}

std::shared_ptr<InternetSession> FindInternetSession(void* handle) {
  std::lock_guard<std::mutex> guard(g_sessions_lock);
  auto found = Sessions().find(handle);
  return found == Sessions().end() ? nullptr : found->second;
}

void UnregisterInternetSession(void* handle) {
  std::shared_ptr<InternetSession> session;
  {
    std::lock_guard<std::mutex> guard(g_sessions_lock);
    auto found = Sessions().find(handle);
    if (found == Sessions().end()) return;
    session = std::move(found->second);
    Sessions().erase(found);
  }
  session->closed.store(true);
}

}  // namespace tarnell

namespace {

std::atomic<MyInternetAccess*> g_latest{nullptr};

// A bypass list of entries separated by ';', ',' or blanks, in libcurl's comma-separated
// form. "<local>" (hosts without a domain) has no libcurl equivalent; the local host is the
// case that matters. libcurl matches ".example.com" where the list says "*.example.com".
std::string CurlBypassList(const char* list) {
  std::string out;
  if (list == nullptr) return out;
  const char* p = list;
  while (*p != '\0') {
    p += std::strspn(p, "; ,\t");
    const size_t length = std::strcspn(p, "; ,\t");
    if (length == 0) break;
    std::string entry(p, length);
    p += length;
    if (entry == "<local>") {
      entry = "localhost,127.0.0.1,::1";
    } else if (entry.size() > 2 && entry.compare(0, 2, "*.") == 0) {
      entry.erase(0, 1);
    }
    if (!out.empty()) out += ',';
    out += entry;
  }
  return out;
}

}  // namespace

MyInternetAccess::MyInternetAccess() { g_latest.store(this); }

MyInternetAccess::~MyInternetAccess() {
  Close();
  MyInternetAccess* self = this;
  g_latest.compare_exchange_strong(self, nullptr);
}

MyInternetAccess* MyInternetAccess::Latest() { return g_latest.load(); }

int MyInternetAccess::Open(const char* agent, unsigned long accessType, const char* proxy,
                           const char* proxyBypass) {
  using namespace tarnell;
  const bool known =
      accessType == kInternetOpenTypePreconfig || accessType == kInternetOpenTypeDirect ||
      accessType == kInternetOpenTypeProxy || accessType == kInternetOpenTypePreconfigNoAutoproxy;
  if (!known || (accessType == kInternetOpenTypeProxy && (proxy == nullptr || *proxy == '\0'))) {
    platform::set_last_error(EINVAL);
    return 0;
  }
  if (!EnsureCurlReady()) {
    platform::set_last_error(kErrNoInternetSession);
    return 0;
  }
  auto session = std::shared_ptr<InternetSession>(new (std::nothrow) InternetSession);
  if (session == nullptr) {
    platform::set_last_error(kErrOutOfMemory);
    return 0;
  }
  session->agent = agent != nullptr ? agent : "";
  session->access_type = accessType;
  if (accessType == kInternetOpenTypeProxy) {
    session->proxy = proxy;
    session->no_proxy = CurlBypassList(proxyBypass);
  }

  std::lock_guard<std::recursive_mutex> guard(lock_);
  Close();
  session_ = RegisterInternetSession(std::move(session));
  return 1;
}

void MyInternetAccess::Close() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (session_ == nullptr) return;
  tarnell::UnregisterInternetSession(session_);
  // Closing the session closes its connection; the notification makes us forget the handle.
  StatusNotification(tarnell::kInternetStatusClosingConnection);
}

int MyInternetAccess::IsOpen() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return session_ != nullptr ? 1 : 0;
}

void* MyInternetAccess::InternetHandle() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return session_;
}

TIEVersion MyInternetAccess::GetIEVersion() {
  if (!tarnell::EnsureCurlReady()) return kIEVersionOther;
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info == nullptr || info->protocols == nullptr) return kIEVersionOther;
  for (const char* const* protocol = info->protocols; *protocol != nullptr; ++protocol) {
    if (std::strcmp(*protocol, "http") == 0) return kIEVersion1_2;
  }
  return kIEVersionOther;
}

void MyInternetAccess::Lock() { lock_.lock(); }
void MyInternetAccess::Unlock() { lock_.unlock(); }

void MyInternetAccess::StatusNotification(unsigned long status) {
  if (status != tarnell::kInternetStatusClosingConnection) return;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  session_ = nullptr;
}

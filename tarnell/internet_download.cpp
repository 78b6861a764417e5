#include <curl/curl.h>
#include <platform/clock.h>
#include <pthread.h>
#include <tarnell/file_obj.h>
#include <tarnell/internet_access.h>
#include <tarnell/internet_download.h>
#include <tarnell/internet_session.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr long kConnectTimeoutMs = 30000;
// A server that sends nothing for this long has gone away; without a limit the owner would
// poll a dead download for ever.
constexpr long kStallSeconds = 60;
// How long one wait for the answer's headers lasts before the thread looks around again;
// termination wakes it at once.
constexpr int kOpenPollMs = 200;
constexpr unsigned kTerminatePollMs = 10;

}  // namespace

CInternetDownload::CInternetDownload(void* session, const char* url, CFileObj* file) {
  StartDownload(session, url, file);
}

CInternetDownload::~CInternetDownload() {
  TerminateDownload();
  std::lock_guard<std::mutex> guard(join_lock_);
  if (thread_.joinable()) {
    // On the download's own thread this object is going away with the file whose last
    // reference the thread has just dropped; the thread touches nothing of it afterwards.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

int CInternetDownload::StartDownload(void* session, const char* url, CFileObj* file) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (started_) return 0;
  started_ = true;
  session_ = session;
  // A URL is refused rather than cut: a shortened one would fetch something else.
  if (file == nullptr || url == nullptr || std::strlen(url) >= kUrlCapacity) {
    EndDownload(false);
    return 0;
  }
  std::strcpy(url_, url);
  file->AddReference();
  file_ = file;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    EndDownload(false);
    CRefObj* held = file_;
    file_ = nullptr;
    DeleteRefObject(&held);
    return 0;
  }
  thread_id_ = thread_.get_id();
  return 1;
}

void CInternetDownload::Run() {
  // A peer that goes away under a TLS write raises SIGPIPE for the writing thread; blocked
  // here, the write merely fails and the download ends.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

  if (OpenUrl()) {
    DetermineSize();
    while (MoreToRead()) {
      Idle();
      if (!MoreToRead()) break;
      WaitRound(kRoundPauseMs);
    }
  }
  CloseUrl();

  CRefObj* file = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    file = file_;
    file_ = nullptr;
  }
  thread_ended_.store(true);
  // Last step: this may be the file's final reference, and the file owns this object.
  DeleteRefObject(&file);
}

bool CInternetDownload::OpenUrl() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!more_to_read_) return false;
    session_record_ = tarnell::FindInternetSession(session_);
    if (session_record_ == nullptr || session_record_->closed.load() ||
        !tarnell::EnsureCurlReady()) {
      EndDownload(false);
      return false;
    }
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    url_handle_ = easy;
    transfer_ = multi;
    if (easy == nullptr || multi == nullptr) {
      EndDownload(false);
      return false;
    }
    // Always from the server: no proxy or cache on the way may answer for it.
    request_headers_ = curl_slist_append(nullptr, "Cache-Control: no-cache");
    curl_slist* more = request_headers_ != nullptr
                           ? curl_slist_append(request_headers_, "Pragma: no-cache")
                           : nullptr;
    const tarnell::InternetSession& session = *session_record_;
    bool ok = more != nullptr;
    ok = ok && curl_easy_setopt(easy, CURLOPT_URL, url_) == CURLE_OK;
    // Only web addresses: a file or other scheme, also through a redirect, is no download.
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L) == CURLE_OK;
    // An error page is not the file.
    ok = ok && curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L) == CURLE_OK;
    // Signals belong to the program, not to a library running on a worker thread.
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request_headers_) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnRequestReady) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PREREQDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &OnCloseSocket) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this) == CURLE_OK;
    if (ok && !session.agent.empty()) {
      ok = curl_easy_setopt(easy, CURLOPT_USERAGENT, session.agent.c_str()) == CURLE_OK;
    }
    if (ok && session.access_type == tarnell::kInternetOpenTypeDirect) {
      // An empty proxy also overrides the environment's.
      ok = curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK;
    } else if (ok && session.access_type == tarnell::kInternetOpenTypeProxy) {
      ok = curl_easy_setopt(easy, CURLOPT_PROXY, session.proxy.c_str()) == CURLE_OK &&
           (session.no_proxy.empty() ||
            curl_easy_setopt(easy, CURLOPT_NOPROXY, session.no_proxy.c_str()) == CURLE_OK);
    }
    ok = ok && curl_multi_add_handle(multi, easy) == CURLM_OK;
    if (!ok) {
      EndDownload(false);
      return false;
    }
  }

  // The URL is open once the answer's headers are in; the owner may stop us meanwhile.
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      if (!more_to_read_) return false;
      Drive();
      if (!more_to_read_) return false;
      if (headers_done_ || transfer_done_) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(url_handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) !=
            CURLE_OK) {
          length = -1;
        }
        content_length_ = length;
        return true;
      }
    }
    curl_multi_poll(transfer_, nullptr, 0, kOpenPollMs, nullptr);
  }
}

void CInternetDownload::WaitRound(unsigned ms) {
  const uint64_t deadline = platform::monotonic_ms() + ms;
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      if (!more_to_read_) return;
      Drive();
      // Once the transfer has ended only the file writes are left: no reason to rest.
      if (!more_to_read_ || transfer_done_) return;
    }
    const uint64_t now = platform::monotonic_ms();
    if (now >= deadline) return;
    curl_multi_poll(transfer_, nullptr, 0, static_cast<int>(deadline - now), nullptr);
  }
}

void CInternetDownload::Drive() {
  if (session_record_ != nullptr && session_record_->closed.load()) {
    EndDownload(false);
    return;
  }
  if (transfer_done_ || transfer_ == nullptr) return;
  if (paused_ && Buffered() < kReadLimit) {
    paused_ = false;
    if (curl_easy_pause(url_handle_, CURLPAUSE_CONT) != CURLE_OK) {
      EndDownload(false);
      return;
    }
  }
  int running = 0;
  if (curl_multi_perform(transfer_, &running) != CURLM_OK) {
    EndDownload(false);
    return;
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(transfer_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    long status = 0;
    curl_easy_getinfo(url_handle_, CURLINFO_RESPONSE_CODE, &status);
    transfer_done_ = true;
    // A connection closed before the announced length is a failed transfer here too.
    transfer_ok_ = message->data.result == CURLE_OK && status >= 200 && status < 300;
  }
  if (transfer_done_ && !transfer_ok_) EndDownload(false);
}

void CInternetDownload::EndDownload(bool complete) {
  if (complete) complete_.store(1);
  more_to_read_.store(0);
  terminated_.store(1);
}

size_t CInternetDownload::Buffered() const { return pending_.size(); }

void CInternetDownload::CloseUrl() {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::swap(easy, url_handle_);
    std::swap(multi, transfer_);
    std::swap(headers, request_headers_);
  }
  // Outside the lock: closing may wait for a name lookup still under way.
  if (multi != nullptr && easy != nullptr) curl_multi_remove_handle(multi, easy);
  if (easy != nullptr) curl_easy_cleanup(easy);
  if (multi != nullptr) curl_multi_cleanup(multi);
  curl_slist_free_all(headers);
}

int CInternetDownload::TerminateDownload() {
  std::thread::id thread_id;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!terminated_.exchange(1)) {
      more_to_read_.store(0);
      // The thread closes the URL handle itself: libcurl handles belong to one thread.
      if (transfer_ != nullptr) curl_multi_wakeup(transfer_);
    }
    thread_id = thread_id_;
  }
  if (thread_id == std::thread::id()) return 1;
  if (thread_id == std::this_thread::get_id()) return 0;
  for (unsigned waited = 0; !thread_ended_.load(); waited += kTerminatePollMs) {
    if (waited >= kTerminateWaitMs) return 0;
    platform::sleep_ms(kTerminatePollMs);
  }
  WaitForThread();
  return 1;
}

void CInternetDownload::WaitForThread() {
  std::lock_guard<std::mutex> guard(join_lock_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CInternetDownload::Idle() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!connected_.load() || !more_to_read_.load() || file_ == nullptr) return;
  const size_t take = std::min(Buffered(), kReadLimit);
  if (take > 0) {
    const long written = file_->Write(pending_.data(), static_cast<long>(take));
    if (written != static_cast<long>(take)) {
      EndDownload(false);
      return;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
  }
  if (transfer_done_ && transfer_ok_ && Buffered() == 0) EndDownload(true);
}

void CInternetDownload::DetermineSize() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  got_size_ = content_length_ >= 0;
  announced_size_ = got_size_ ? static_cast<unsigned long>(content_length_) : 0;
}

int CInternetDownload::MoreToRead() { return more_to_read_.load(); }
int CInternetDownload::WholeFileDownloaded() { return complete_.load(); }

int CInternetDownload::GotFileSize() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return got_size_ ? 1 : 0;
}

unsigned long CInternetDownload::FileSize() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return announced_size_;
}

int CInternetDownload::IsConnected() { return connected_.load(); }
void CInternetDownload::Lock() { lock_.lock(); }
void CInternetDownload::Unlock() { lock_.unlock(); }

void CInternetDownload::StatusNotification(unsigned long status) {
  if (status == tarnell::kInternetStatusConnectedToServer ||
      status == tarnell::kInternetStatusSendingRequest) {
    connected_.store(1);
  }
}

size_t CInternetDownload::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* download = static_cast<CInternetDownload*>(self);
  const size_t bytes = size * count;
  // Held back until a round has moved what waits into the file.
  if (download->Buffered() >= kReadLimit) {
    download->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  try {
    download->pending_.insert(download->pending_.end(), data, data + bytes);
  } catch (const std::bad_alloc&) {
    return 0;  // fails the transfer
  }
  return bytes;
}

size_t CInternetDownload::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* download = static_cast<CInternetDownload*>(self);
  const size_t bytes = size * count;
  // The blank line ends one answer's headers; only a success answer carries the file (a
  // redirect is followed, an error fails the transfer).
  if (bytes > 0 && bytes <= 2 && (data[0] == '\r' || data[0] == '\n')) {
    long status = 0;
    curl_easy_getinfo(download->url_handle_, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status < 300) download->headers_done_ = true;
  }
  return bytes;
}

int CInternetDownload::OnRequestReady(void* self, char*, char*, int, int) {
  auto* download = static_cast<CInternetDownload*>(self);
  download->StatusNotification(tarnell::kInternetStatusConnectedToServer);
  download->StatusNotification(tarnell::kInternetStatusSendingRequest);
  return CURL_PREREQFUNC_OK;
}

int CInternetDownload::OnCloseSocket(void* self, int socket) {
  static_cast<CInternetDownload*>(self)->StatusNotification(
      tarnell::kInternetStatusClosingConnection);
  return close(socket);
}

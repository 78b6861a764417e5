#pragma once

#include <tarnell/visibility.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CFileObj;
struct curl_slist;
namespace tarnell {
struct InternetSession;
}

// Fills a file object from a URL on a thread of its own, always fetched from the server
// (never from a cache). Every round the thread moves at most kReadLimit received bytes into
// the file and then rests kRoundPauseMs, so a download never floods the disk or the owner;
// the owner watches progress under the download's lock.
//
// HTTP error answers (404, 500, ...) and connections that close before the announced length
// arrived are failures: the download ends with WholeFileDownloaded() 0 and the error page is
// never written into the file.
//
// The download holds one reference on its file while its thread runs and drops it when the
// thread ends.
class TARNELL_API CInternetDownload {
 public:
  static constexpr size_t kUrlCapacity = 2048;
  // 256 kB per round keeps each write short while the owner polls progress.
  static constexpr size_t kReadLimit = 256000;
  static constexpr unsigned kRoundPauseMs = 500;
  static constexpr unsigned kTerminateWaitMs = 10000;

  // Starts the download at once (StartDownload).
  CInternetDownload(void* session, const char* url, CFileObj* file);
  CInternetDownload(const CInternetDownload&) = delete;
  CInternetDownload& operator=(const CInternetDownload&) = delete;
  // Terminates the download and waits for its thread.
  virtual ~CInternetDownload();

  // Keeps a reference on `file`, copies the URL and starts the thread; 0 when a download was
  // started already, the URL is missing or does not fit kUrlCapacity, or no thread could be
  // made (the download then has ended, unsuccessfully).
  int StartDownload(void* session, const char* url, CFileObj* file);
  // Stops the download once (later calls only wait) and waits for the thread, polling every
  // 10 ms for at most kTerminateWaitMs. 1 when the thread has ended.
  int TerminateDownload();
  // Waits for the thread without a limit; for callers about to free what the thread uses.
  void WaitForThread();
  // One round: once connected, moves at most kReadLimit received bytes into the file; when
  // the transfer has ended and everything is in the file, the download is complete.
  void Idle();
  // Takes the length that the server announced (0 when it announced none).
  void DetermineSize();
  int MoreToRead();
  int WholeFileDownloaded();
  // 1 when the server announced a length.
  int GotFileSize();
  unsigned long FileSize();
  // 1 once a connection to the server was made.
  int IsConnected();
  void Lock();
  void Unlock();

  // Status notifications about this download: connecting and sending the request mark it
  // connected.
  void StatusNotification(unsigned long status);

 private:
  void Run();
  bool OpenUrl();
  void WaitRound(unsigned ms);
  // The steps below run under the lock.
  void Drive();
  void EndDownload(bool complete);
  size_t Buffered() const;
  void CloseUrl();

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnRequestReady(void* self, char* remote_ip, char* local_ip, int remote_port,
                            int local_port);
  static int OnCloseSocket(void* self, int socket);

  bool started_ = false;
  char url_[kUrlCapacity] = {};
  unsigned long announced_size_ = 0;
  bool got_size_ = false;
  long long content_length_ = -1;  // as the answer's headers gave it; -1 without one
  CFileObj* file_ = nullptr;       // one reference while the thread runs
  void* url_handle_ = nullptr;
  void* transfer_ = nullptr;  // drives url_handle_ without blocking
  curl_slist* request_headers_ = nullptr;
  std::thread thread_;
  std::thread::id thread_id_;
  std::atomic<int> more_to_read_{1};
  std::atomic<int> connected_{0};
  std::atomic<int> terminated_{0};
  std::atomic<int> complete_{0};
  std::atomic<bool> thread_ended_{false};
  void* session_ = nullptr;
  std::shared_ptr<tarnell::InternetSession> session_record_;
  std::recursive_mutex lock_;
  std::mutex join_lock_;

  // Received bytes not yet in the file; the transfer pauses once a round's worth waits here.
  std::vector<char> pending_;
  bool paused_ = false;
  bool headers_done_ = false;
  bool transfer_done_ = false;
  bool transfer_ok_ = false;
};

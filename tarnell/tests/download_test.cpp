#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/last_error.h>
#include <sys/socket.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/internet_access.h>
#include <tarnell/internet_download.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "http_test_server.h"
#include "temp_dir.h"

namespace {

constexpr char kAgent[] = "QUARL v.1.00";
constexpr uint64_t kPatienceMs = 20000;

// Bytes from a fixed generator, so that a misplaced or repeated block shows.
std::string Noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string Contents(CRefObj* file) {
  std::string bytes(static_cast<size_t>(file->Size()), '\0');
  if (!file->Seek(0, 0) || file->Read(bytes.data(), static_cast<long>(bytes.size())) !=
                               static_cast<long>(bytes.size())) {
    return "(unreadable)";
  }
  return bytes;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(access_.Open(kAgent, tarnell::kInternetOpenTypeDirect, nullptr, nullptr), 1);
  }

  CFileObj* Start(const std::string& url) {
    auto* file = new CFileObj;
    EXPECT_EQ(file->OpenFromInternet(&access_, url.c_str(), local_.c_str()), 1);
    return file;
  }
  // Polls the way the update check does; false when the download outlives our patience.
  static bool Finish(CFileObj* file) {
    const uint64_t deadline = platform::monotonic_ms() + kPatienceMs;
    while (file->FileDownloading()) {
      if (platform::monotonic_ms() > deadline) return false;
      platform::sleep_ms(10);
    }
    return true;
  }
  // Waits until some of the body is in the file; gives the announced total.
  static bool WaitForBytes(CFileObj* file, unsigned long* total) {
    const uint64_t deadline = platform::monotonic_ms() + kPatienceMs;
    unsigned long received = 0;
    while (platform::monotonic_ms() < deadline) {
      if (file->GetDownloadAmounts(received, *total) && received > 0) return true;
      platform::sleep_ms(10);
    }
    return false;
  }

  TempDir dir_;
  std::string local_ = dir_.File("latest_version.txt");
  MyInternetAccess access_;
};

// Sends a large announced length a little at a time until the client goes away.
void Trickle(HttpTestServer::Reply& reply) {
  if (!reply.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")) return;
  while (reply.Send(std::string(100, 's')) && reply.Pause(20)) {
  }
}

TEST_F(DownloadTest, WholeFileArrivesFreshAndReopensReadOnly) {
  const std::string body = "1.2.3\r\nhttp://example.invalid/page\r\nhttp://example.invalid/f\r\n";
  HttpTestServer server([&](const std::string& request, HttpTestServer::Reply& reply) {
    if (HttpTestServer::PathOf(request) == "/old") {
      reply.Send(
          "HTTP/1.1 302 Found\r\nLocation: /latest_version.txt\r\nContent-Length: 0\r\n"
          "Connection: close\r\n\r\n");
    } else {
      reply.Send(HttpTestServer::Answer("200 OK", body));
    }
  });
  ASSERT_TRUE(server.ok());
  CRefObj* file = Start(server.Url("/old"));
  auto* download = static_cast<CFileObj*>(file);
  ASSERT_TRUE(Finish(download));
  EXPECT_EQ(download->DownloadWasSuccessful(), 1);
  unsigned long received = 0, total = 0;
  EXPECT_EQ(download->GetDownloadAmounts(received, total), 0);  // nothing more to read

  ASSERT_EQ(download->CompleteDownload(0), 1);
  EXPECT_EQ(file->WriteMode(), 0);
  EXPECT_STREQ(download->FilePath(), local_.c_str());
  char line[64];
  EXPECT_EQ(file->ReadNextString(line, 63), 5);
  EXPECT_STREQ(line, "1.2.3");
  EXPECT_EQ(file->ReadNextString(line, 63), 27);
  EXPECT_EQ(Contents(file), body);
  DeleteRefObject(&file);
  EXPECT_EQ(file, nullptr);

  // The redirect was followed, and both requests asked past any cache.
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].rfind("GET /latest_version.txt HTTP/1.1\r\n", 0), 0u) << requests[1];
  for (const std::string& request : requests) {
    EXPECT_NE(request.find("User-Agent: QUARL v.1.00\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("Cache-Control: no-cache\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("Pragma: no-cache\r\n"), std::string::npos) << request;
  }
}

TEST_F(DownloadTest, FailuresAreNeverReportedAsSuccess) {
  HttpTestServer server([](const std::string& request, HttpTestServer::Reply& reply) {
    const std::string path = HttpTestServer::PathOf(request);
    if (path == "/missing") {
      reply.Send(HttpTestServer::Answer("404 Not Found", "<html>no such page</html>"));
    } else if (path == "/broken") {
      reply.Send(HttpTestServer::Answer("500 Internal Server Error", "<html>oops</html>"));
    } else {
      // Announces 1000 bytes, sends 300 and hangs up.
      reply.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(300, 'x'));
    }
  });
  ASSERT_TRUE(server.ok());
  // A bound port that does not listen refuses connections.
  const int unused = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(unused, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(unused, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string refused = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

  struct Case {
    std::string url;
    long kept;  // bytes the failed download leaves in the file
  };
  for (const Case& c : {Case{server.Url("/missing"), 0}, Case{server.Url("/broken"), 0},
                        Case{server.Url("/short"), -1}, Case{refused, 0}}) {
    SCOPED_TRACE(c.url);
    CRefObj* file = Start(c.url);
    auto* download = static_cast<CFileObj*>(file);
    ASSERT_TRUE(Finish(download));
    EXPECT_EQ(download->DownloadWasSuccessful(), 0);
    ASSERT_EQ(download->CompleteDownload(0), 1);
    if (c.kept >= 0) {
      EXPECT_EQ(file->Size(), c.kept);  // no error page posing as the file
    }
    DeleteRefObject(&file);
  }
  close(unused);
}

TEST_F(DownloadTest, LargeFileComesInBoundedRoundsWithProgress) {
  const std::string body = Noise(700000);
  HttpTestServer server([&](const std::string&, HttpTestServer::Reply& reply) {
    reply.Send(HttpTestServer::Answer("200 OK", body));
  });
  ASSERT_TRUE(server.ok());
  const uint64_t started = platform::monotonic_ms();
  CRefObj* file = Start(server.Url("/big.bin"));
  auto* download = static_cast<CFileObj*>(file);

  bool saw_part = false;
  const uint64_t deadline = started + kPatienceMs;
  unsigned long received = 0, total = 0;
  while (download->FileDownloading() && platform::monotonic_ms() < deadline) {
    if (download->GetDownloadAmounts(received, total) && received > 0) {
      EXPECT_EQ(total, body.size());
      if (received < body.size()) saw_part = true;
    }
    platform::sleep_ms(5);
  }
  // Three rounds of at most 256000 bytes, with a rest between them.
  EXPECT_GE(platform::monotonic_ms() - started, CInternetDownload::kRoundPauseMs);
  EXPECT_TRUE(saw_part);
  ASSERT_EQ(download->DownloadWasSuccessful(), 1);
  ASSERT_EQ(download->CompleteDownload(0), 1);
  EXPECT_TRUE(Contents(file) == body);
  DeleteRefObject(&file);
}

TEST_F(DownloadTest, TerminatedDownloadIsDiscarded) {
  HttpTestServer server([](const std::string&, HttpTestServer::Reply& reply) { Trickle(reply); });
  ASSERT_TRUE(server.ok());
  CRefObj* file = Start(server.Url("/slow"));
  auto* download = static_cast<CFileObj*>(file);
  unsigned long total = 0;
  ASSERT_TRUE(WaitForBytes(download, &total));
  EXPECT_EQ(total, 1000000u);
  EXPECT_EQ(download->FileDownloading(), 1);

  const uint64_t before = platform::monotonic_ms();
  EXPECT_EQ(download->CompleteDownload(1), 1);
  EXPECT_LT(platform::monotonic_ms() - before, CInternetDownload::kTerminateWaitMs);
  EXPECT_EQ(DoesFileExist(local_.c_str()), 0);
  EXPECT_STREQ(download->FilePath(), "");
  EXPECT_EQ(download->IsOpen(), 0);
  EXPECT_EQ(download->DownloadWasSuccessful(), 0);
  EXPECT_EQ(download->FileDownloading(), 0);
  EXPECT_EQ(file->References(), 1);  // the stopped download let go of the file
  DeleteRefObject(&file);
  EXPECT_EQ(file, nullptr);
}

TEST_F(DownloadTest, ClosingTheSessionFailsItsDownloads) {
  HttpTestServer server([](const std::string&, HttpTestServer::Reply& reply) { Trickle(reply); });
  ASSERT_TRUE(server.ok());
  CRefObj* file = Start(server.Url("/slow"));
  auto* download = static_cast<CFileObj*>(file);
  unsigned long total = 0;
  ASSERT_TRUE(WaitForBytes(download, &total));

  access_.Close();
  EXPECT_EQ(access_.IsOpen(), 0);
  EXPECT_EQ(access_.InternetHandle(), nullptr);
  ASSERT_TRUE(Finish(download));
  EXPECT_EQ(download->DownloadWasSuccessful(), 0);
  EXPECT_EQ(download->CompleteDownload(1), 1);
  DeleteRefObject(&file);
}

TEST_F(DownloadTest, DownloadObjectReportsItsState) {
  const std::string body = Noise(5000);
  HttpTestServer server([&](const std::string& request, HttpTestServer::Reply& reply) {
    if (HttpTestServer::PathOf(request) == "/slow") {
      Trickle(reply);
    } else {
      reply.Send(HttpTestServer::Answer("200 OK", body, false));  // length unknown
    }
  });
  ASSERT_TRUE(server.ok());
  auto* file = new CFileObj;
  ASSERT_EQ(file->Create(local_.c_str()), 1);
  {
    CInternetDownload download(access_.InternetHandle(), server.Url("/plain").c_str(), file);
    EXPECT_EQ(download.StartDownload(access_.InternetHandle(), "http://127.0.0.1/", file), 0);
    EXPECT_EQ(download.TerminateDownload(), 1);
    EXPECT_EQ(download.MoreToRead(), 0);
  }
  EXPECT_EQ(file->References(), 1);

  ASSERT_EQ(file->Create(local_.c_str()), 1);
  {
    CInternetDownload download(access_.InternetHandle(), server.Url("/plain").c_str(), file);
    const uint64_t deadline = platform::monotonic_ms() + kPatienceMs;
    while (download.MoreToRead() && platform::monotonic_ms() < deadline) platform::sleep_ms(10);
    EXPECT_EQ(download.WholeFileDownloaded(), 1);
    EXPECT_EQ(download.IsConnected(), 1);
    EXPECT_EQ(download.GotFileSize(), 0);
    EXPECT_EQ(download.FileSize(), 0u);
    EXPECT_EQ(download.TerminateDownload(), 1);
    EXPECT_EQ(file->References(), 1);
  }
  EXPECT_TRUE(Contents(file) == body);

  ASSERT_EQ(file->Create(local_.c_str()), 1);
  {
    CInternetDownload download(access_.InternetHandle(), server.Url("/slow").c_str(), file);
    const uint64_t deadline = platform::monotonic_ms() + kPatienceMs;
    for (long size = 0; size == 0 && platform::monotonic_ms() < deadline;) {
      platform::sleep_ms(10);
      download.Lock();  // the thread writes the file under this lock
      size = file->Size();
      download.Unlock();
    }
    EXPECT_EQ(download.GotFileSize(), 1);
    EXPECT_EQ(download.FileSize(), 1000000u);
    const uint64_t before = platform::monotonic_ms();
    EXPECT_EQ(download.TerminateDownload(), 1);
    EXPECT_LT(platform::monotonic_ms() - before, CInternetDownload::kTerminateWaitMs);
    EXPECT_EQ(download.MoreToRead(), 0);
    EXPECT_EQ(download.WholeFileDownloaded(), 0);
  }
  CRefObj* held = file;
  DeleteRefObject(&held);
  EXPECT_EQ(held, nullptr);
}

// A file whose owner lets go while its download still runs.
class WatchedFile : public CFileObj {
 public:
  explicit WatchedFile(std::atomic<bool>* destroyed) : destroyed_(destroyed) {}
  ~WatchedFile() override { destroyed_->store(true); }

 private:
  std::atomic<bool>* destroyed_;
};

TEST_F(DownloadTest, AbandonedDownloadReleasesTheFileWhenItEnds) {
  HttpTestServer server([](const std::string&, HttpTestServer::Reply& reply) {
    if (reply.Pause(100)) reply.Send(HttpTestServer::Answer("200 OK", "late"));
  });
  ASSERT_TRUE(server.ok());
  std::atomic<bool> destroyed{false};
  CRefObj* file = new WatchedFile(&destroyed);
  ASSERT_EQ(static_cast<CFileObj*>(file)->OpenFromInternet(&access_, server.Url("/").c_str(),
                                                           local_.c_str()),
            1);
  DeleteRefObject(&file);
  EXPECT_NE(file, nullptr);  // the download still holds it
  // The download's thread drops the last reference, which takes the download with the file.
  const uint64_t deadline = platform::monotonic_ms() + kPatienceMs;
  while (!destroyed.load() && platform::monotonic_ms() < deadline) platform::sleep_ms(10);
  EXPECT_TRUE(destroyed.load());
  std::string text(4, '\0');
  CFileObj written;
  ASSERT_EQ(written.Open(local_.c_str(), 0, 0), 1);
  EXPECT_EQ(written.Read(text.data(), 4), 4);
  EXPECT_EQ(text, "late");
}

TEST_F(DownloadTest, ProxySessionAsksTheProxy) {
  HttpTestServer proxy([](const std::string&, HttpTestServer::Reply& reply) {
    reply.Send(HttpTestServer::Answer("200 OK", "via proxy"));
  });
  ASSERT_TRUE(proxy.ok());
  MyInternetAccess through_proxy;
  const std::string address = "127.0.0.1:" + std::to_string(proxy.port());
  ASSERT_EQ(through_proxy.Open(kAgent, tarnell::kInternetOpenTypeProxy, address.c_str(),
                               "<local>;*.example.invalid"),
            1);
  CRefObj* file = new CFileObj;
  auto* download = static_cast<CFileObj*>(file);
  ASSERT_EQ(
      download->OpenFromInternet(&through_proxy, "http://update.invalid/v.txt", local_.c_str()), 1);
  ASSERT_TRUE(Finish(download));
  EXPECT_EQ(download->DownloadWasSuccessful(), 1);
  ASSERT_EQ(download->CompleteDownload(0), 1);
  EXPECT_EQ(Contents(file), "via proxy");
  DeleteRefObject(&file);
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET http://update.invalid/v.txt HTTP/1.1\r\n", 0), 0u);
}

TEST_F(DownloadTest, RefusalsAndMissingDownload) {
  CFileObj file;
  // Open files, and sessions that are not open, are refused before anything is created.
  ASSERT_EQ(file.Create(dir_.File("open.bin").c_str()), 1);
  EXPECT_EQ(file.OpenFromInternet(&access_, "http://127.0.0.1/", local_.c_str()), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrInternetOnOpenFile);
  file.Close();
  MyInternetAccess closed;
  EXPECT_EQ(file.OpenFromInternet(&closed, "http://127.0.0.1/", local_.c_str()), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoInternetSession);
  EXPECT_EQ(file.OpenFromInternet(nullptr, "http://127.0.0.1/", local_.c_str()), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoInternetSession);
  EXPECT_EQ(DoesFileExist(local_.c_str()), 0);

  unsigned long received = 7, total = 7;
  EXPECT_EQ(file.FileDownloading(), 0);
  platform::clear_last_error();
  EXPECT_EQ(file.GetDownloadAmounts(received, total), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoDownload);
  platform::clear_last_error();
  EXPECT_EQ(file.DownloadWasSuccessful(), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoDownload);
  platform::clear_last_error();
  EXPECT_EQ(file.CompleteDownload(1), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrNoDownload);
}

TEST(InternetAccessTest, SessionsOpenCloseAndAreRemembered) {
  MyInternetAccess first;
  EXPECT_EQ(MyInternetAccess::Latest(), &first);
  {
    MyInternetAccess second;
    EXPECT_EQ(MyInternetAccess::Latest(), &second);
    EXPECT_EQ(second.Open(nullptr, 2, nullptr, nullptr), 0);
    EXPECT_EQ(platform::last_error(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(second.Open(nullptr, tarnell::kInternetOpenTypeProxy, "", nullptr), 0);
    EXPECT_EQ(second.IsOpen(), 0);
  }
  EXPECT_EQ(MyInternetAccess::Latest(), nullptr);

  EXPECT_EQ(first.GetIEVersion(), kIEVersion1_2);
  ASSERT_EQ(first.Open("agent", tarnell::kInternetOpenTypePreconfig, nullptr, nullptr), 1);
  void* handle = first.InternetHandle();
  EXPECT_NE(handle, nullptr);
  first.Close();
  EXPECT_EQ(first.IsOpen(), 0);

  // A download started with a closed session's handle fails without touching the network.
  TempDir dir;
  auto* file = new CFileObj;
  ASSERT_EQ(file->Create(dir.File("x").c_str()), 1);
  {
    CInternetDownload download(handle, "http://127.0.0.1:1/", file);
    EXPECT_EQ(download.TerminateDownload(), 1);
    EXPECT_EQ(download.WholeFileDownloaded(), 0);
    EXPECT_EQ(download.IsConnected(), 0);
  }
  EXPECT_EQ(file->References(), 1);
  CRefObj* held = file;
  DeleteRefObject(&held);
}

}  // namespace

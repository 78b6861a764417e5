#pragma once

#include <tarnell/ref_obj.h>

#include <climits>
#include <cstdio>

class CInternetDownload;
class MyInternetAccess;

// A file on disk reached through stdio. Stream positions seen by callers are relative to the
// base offset given to Open; the data window is kept in absolute stream offsets and survives
// a Close. Positions are 64-bit.
class TARNELL_API CFileObj : public CRefObj {
 public:
  static constexpr long kPathCapacity = PATH_MAX;

  CFileObj();
  // Opens the same file again, read only and in data mode 0, at `other`'s position and with
  // its window; check IsOpen() for the outcome.
  CFileObj(const CFileObj& other);
  CFileObj& operator=(const CFileObj&) = delete;
  ~CFileObj() override;

  // Only from another open file object; on failure sets kErrCopyReopen.
  int Copy(CRefObj* source) override;
  CRefObj* Copy() override;
  int IsOpen() override;
  void Close() override;
  long Read(char* buf, long count) override;
  long Write(const char* buf, long count) override;
  int Seek(long offset, int origin) override;
  long Tell() override;
  long Size() override;
  int Type() override;
  int SetDataOffsets(unsigned long start, unsigned long end) override;
  long GetDataStart() override;
  long GetDataEnd() override;
  long GetVirtualStart() override;
  int SetVirtualStart(long start) override;
  long DataSize() override;
  int SeekToData(long offset) override;
  long ReadData(char* buf, long count) override;
  long WriteData(const char* buf, long count, int append) override;

  // "r+b" when readWrite is non-zero (write mode 1), else "rb" (write mode 0). A path longer
  // than kPathCapacity - 1 bytes, or a directory, is refused.
  virtual int Open(const char* path, long baseOffset, int readWrite);
  // Creates or truncates the file, opened for reading and writing.
  virtual int Create(const char* path);
  // Opens `path` for writing only, from its start, creating it when missing: for outputs that
  // are written once front to back and cannot seek back, such as a FIFO (which waits here for
  // its reader) or a character device. Not virtual, so the described slot order stays.
  int CreateWriteOnly(const char* path);

  // Copies the path into `out`, which must hold kPathCapacity bytes.
  void GetFilePath(char* out);
  // Copies at most size - 1 characters and a NUL; returns 0 when the path did not fit.
  int GetFilePath(char* out, unsigned long size);
  char* FilePath();

  // Creates `localPath` and fills it from `url` on a download thread of its own; returns the
  // result of the create. Refused with kErrInternetOnOpenFile while this file is open and
  // with kErrNoInternetSession without an open session. Until CompleteDownload the file
  // belongs to the download: the owner only polls FileDownloading and GetDownloadAmounts.
  int OpenFromInternet(MyInternetAccess* access, const char* url, const char* localPath);
  // 1 while a download exists and has more to read.
  int FileDownloading();
  // While the download runs: the bytes in the file so far and the length the server
  // announced (0 when it announced none), and 1. Else 0 (kErrNoDownload without one).
  int GetDownloadAmounts(unsigned long& received, unsigned long& total);
  // Stops the download and waits for its thread. With `discard` the file is closed, deleted
  // and the path emptied (1); without, the file is opened again read only and the result of
  // that open returned. kErrNoDownload and 0 without a download.
  int CompleteDownload(int discard);
  // 1 when the whole file arrived; kErrNoDownload and 0 without a download.
  int DownloadWasSuccessful();

 private:
  int OpenStream(const char* path, const char* mode);
  int CopyFrom(const CFileObj& source);

  char path_[kPathCapacity] = {};
  FILE* stream_ = nullptr;
  long base_offset_ = -1;
  long position_ = -1;  // absolute
  long end_ = -1;       // absolute
  long data_start_ = -1;
  long data_end_ = -1;
  long virtual_start_ = 0;
  // stdio needs a positioning call between a read and a following write.
  bool last_was_read_ = false;
  // Owned: the internet download that fills this file, null unless opened from the internet.
  CInternetDownload* download_ = nullptr;
};

// 1 when `path` names a file that can be opened for reading, else 0.
TARNELL_API int DoesFileExist(const char* path);

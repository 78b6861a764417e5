#pragma once

#include <tarnell/visibility.h>

#include <atomic>
#include <cstdint>

// A reference-counted data object: a byte stream (file or memory) with a data window, the
// stretch of the stream that holds the payload. Window reads may run in loop mode, where
// reading past the window's end continues at its start.
//
// Whoever holds a pointer holds one reference; a new object starts with one, owned by its
// creator. Release with DeleteRefObject, never with delete.
//
// Results: int 1 for success and 0 for failure, byte counts for reads and writes; the detail
// of a failure is left in the thread's last-error value (tarnell/errors.h).
//
// The virtual operations are part of the library's interface and keep their order.
class TARNELL_API CRefObj {
 public:
  CRefObj();
  // The copy has the same write and data modes and starts with one reference of its own.
  CRefObj(const CRefObj& other);
  CRefObj& operator=(const CRefObj&) = delete;

  virtual ~CRefObj();
  // Reopens `source` as this object; the base object cannot, and returns 0.
  virtual int Copy(CRefObj* source);
  // A new object with one reference, or null.
  virtual CRefObj* Copy();
  virtual int IsOpen();
  virtual void Close();
  virtual long Read(char* buf, long count);
  virtual long Write(const char* buf, long count);
  // origin 0 from the start, 1 from the current position, 2 from the end.
  virtual int Seek(long offset, int origin);
  virtual long Tell();
  virtual long Size();
  // 0 base object or closed memory, 1 file, 2 memory, 3 resource.
  virtual int Type();
  virtual int SetDataOffsets(unsigned long start, unsigned long end);
  virtual long GetDataStart();
  virtual long GetDataEnd();
  virtual long GetVirtualStart();
  virtual int SetVirtualStart(long start);
  virtual long DataSize();
  virtual void SetDataMode(int mode);
  // Seeks to data start + (offset + virtual start) wrapped into the window.
  virtual int SeekToData(long offset);
  virtual long ReadData(char* buf, long count);
  // Overwrites inside the window, or with `append` writes at data end and moves it on.
  // -1 when the object is read only.
  virtual long WriteData(const char* buf, long count, int append);

  void AddReference();
  // Returns the new count.
  short DecReference();
  short References();
  int WriteMode();
  void SetWriteMode(int mode);
  int DataMode();

  // Reads one line of text from the current position into `buf`, which must hold
  // maxLength + 1 bytes; returns the characters stored (0 with an empty string at the end of
  // the data). The next call starts at the following line; a line longer than maxLength is
  // cut and its rest skipped.
  long ReadNextString(char* buf, long maxLength);

 protected:
  // Window operations shared by files and memory. `start` and `end` are the window in Tell()
  // coordinates; the window is usable when 0 <= start < end.
  long ReadWindow(char* buf, long count, long start, long end);
  long WriteWindow(const char* buf, long count, int append, long* end);
  int SeekInWindow(long offset, long start, long end, long virtual_start);

 private:
  // Atomic because a download thread may drop its reference while the owner drops another.
  std::atomic<int16_t> references_{1};
  int write_mode_ = 0;
  int data_mode_ = 0;
};

// Drops one reference; when it was the last, destroys the object and nulls `*holder`. While
// other references remain the holder is left as it is.
TARNELL_API void DeleteRefObject(CRefObj** holder);

#pragma once

#include <tarnell/ref_obj.h>

#include <memory>
#include <vector>

// One separately allocated stretch of a memory object.
struct _zeDataBlock {
  std::unique_ptr<unsigned char[]> data;
  unsigned long size = 0;
  unsigned long offset = 0;  // where the block begins in the object
};

// A growable store in memory made of data blocks; sequential writes add one block per call,
// sized to that call's data.
class TARNELL_API CMemObj : public CRefObj {
 public:
  CMemObj();
  // Holds all of `other`'s bytes in one block, with its type, size and window, at position 0.
  CMemObj(const CMemObj& other);
  CMemObj& operator=(const CMemObj&) = delete;
  ~CMemObj() override;

  CRefObj* Copy() override;
  using CRefObj::Copy;
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

  // Copies `length` bytes into one new block (type 2, data start 0); 0 when out of memory.
  int Open(unsigned char* bytes, unsigned long length);
  // An empty writable object (type 2, write mode 1); writes grow it.
  int Create();

  // The block layout, for inspection.
  unsigned long BlockCount() const;
  unsigned long BlockSize(unsigned long index) const;

 private:
  int AddDataBlock(unsigned long size);
  _zeDataBlock* GetDataBlockFromOffset(unsigned long offset);
  void Release();

  int type_ = 0;
  std::vector<_zeDataBlock> blocks_;
  unsigned long allocated_ = 0;
  long position_ = 0;
  long size_ = 0;
  long data_start_ = -1;
  long data_end_ = -1;
  long virtual_start_ = 0;
};

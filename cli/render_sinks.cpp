#include <cli/interrupt.h>
#include <cli/progress.h>
#include <cli/render_sinks.h>
#include <platform/last_error.h>
#include <sonark/export/conv_file_obj.h>

bool ProgressSink::Put(const unsigned char* data, long count) {
  done_ += static_cast<double>(count);
  bar_.Update(done_, total_);
  return next_.Put(data, count);
}

bool WriteSink::Put(const unsigned char* data, long count) {
  long written = 0;
  if (writer_.WriteStreamData(const_cast<unsigned char*>(data), count, &written) >= 0 &&
      written == count)
    return true;
  failed_ = true;
  error_ = platform::last_error();
  return false;
}

TDataWriteCode FeedSink(void* data, long* length, void* context) {
  if (Interrupted()) return dwcStop;
  auto* sink = static_cast<BlockSink*>(context);
  return sink->Put(static_cast<const unsigned char*>(data), *length) ? dwcNextBlock : dwcStop;
}

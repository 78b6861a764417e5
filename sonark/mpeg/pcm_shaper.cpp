#include <sonark/mpeg/pcm_shaper.h>

#include <algorithm>
#include <cstring>

namespace sonark::mpeg {

void PcmShaper::Configure(long inRate, long outRate, int outChannels, int64_t begin,
                          int64_t end) {
  in_rate_ = std::max<long>(inRate, 1);
  out_rate_ = std::max<long>(outRate, 1);
  out_channels_ = outChannels == 1 ? 1 : 2;
  begin_ = std::max<int64_t>(begin, 0);
  end_ = end;
  Restart(0);
}

void PcmShaper::Restart(int64_t first) {
  next_ = std::max<int64_t>(first, 0);
  received_ = 0;
  have_previous_ = false;
  previous_index_ = -1;
}

int64_t PcmShaper::FirstOutputAt(int64_t native) const {
  const int64_t offset = native - begin_;
  if (offset <= 0) return 0;
  // The smallest j with j x in / out >= offset.
  return (offset * out_rate_ + in_rate_ - 1) / in_rate_;
}

void PcmShaper::Emit(int32_t left, int32_t right, std::vector<unsigned char>& out) const {
  if (out_channels_ == 1) {
    const int16_t value = static_cast<int16_t>(left);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + 2);
  } else {
    const int16_t values[2] = {static_cast<int16_t>(left), static_cast<int16_t>(right)};
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    out.insert(out.end(), bytes, bytes + 4);
  }
}

void PcmShaper::AddFrame(int64_t nativeStart, const int16_t* samples, long count, int channels,
                         std::vector<unsigned char>& out) {
  if (samples == nullptr || count <= 0 || channels < 1) return;
  received_ = nativeStart;
  const int step = channels >= 2 ? channels : 1;
  long limit = count;
  if (end_ >= 0) limit = static_cast<long>(std::clamp<int64_t>(end_ - nativeStart, 0, count));

  // Equal rates and channel counts: the output is a stretch of the frame as it is.
  if (in_rate_ == out_rate_ && channels == out_channels_) {
    const int64_t from = begin_ + next_ - nativeStart;  // frame sample of the next output
    if (from >= 0 && from < limit) {
      const auto* first = reinterpret_cast<const unsigned char*>(samples + from * step);
      out.insert(out.end(), first, first + (limit - from) * step * 2);
      next_ += limit - from;
    }
    if (limit > 0) {
      previous_index_ = nativeStart + limit - 1;
      previous_left_ = samples[(limit - 1) * step];
      previous_right_ = channels >= 2 ? samples[(limit - 1) * step + 1] : previous_left_;
      have_previous_ = true;
    }
    received_ = nativeStart + limit;
    return;
  }

  // The native position of output j is (begin x out + j x in) / out, kept as a whole part
  // and a remainder that step on without a division per sample.
  const int64_t numerator = begin_ * out_rate_ + next_ * in_rate_;
  int64_t at = numerator / out_rate_;
  int64_t fraction = numerator % out_rate_;
  const int64_t wholeStep = in_rate_ / out_rate_;
  const int64_t fractionStep = in_rate_ % out_rate_;
  // Room for every sample this frame can complete, written in place and trimmed after.
  const size_t frameBytes = static_cast<size_t>(out_channels_) * 2;
  const size_t before = out.size();
  // Output j lies on or before the frame's last sample L while j x in < (L + 1 - begin) x out.
  const int64_t reach = (nativeStart + limit - begin_) * out_rate_;
  const int64_t room = reach > 0 ? std::max<int64_t>((reach + in_rate_ - 1) / in_rate_ - next_, 0) : 0;
  out.resize(before + static_cast<size_t>(room) * frameBytes);
  int16_t* cursor = reinterpret_cast<int16_t*>(out.data() + before);
  const bool stereo = out_channels_ == 2;
  auto put = [&](int32_t l, int32_t r) {
    *cursor++ = static_cast<int16_t>(l);
    if (stereo) *cursor++ = static_cast<int16_t>(r);
  };
  for (long i = 0; i < limit; ++i) {
    const int64_t index = nativeStart + i;
    int32_t left = samples[i * step];
    int32_t right = channels >= 2 ? samples[i * step + 1] : left;
    if (out_channels_ == 1 && channels >= 2) left = right = (left + right) / 2;
    while (at <= index) {
      if (at == index && fraction == 0) {
        put(left, right);
      } else if (at == index - 1 && have_previous_ && previous_index_ == index - 1) {
        put(previous_left_ + static_cast<int32_t>((left - previous_left_) * fraction / out_rate_),
            previous_right_ +
                static_cast<int32_t>((right - previous_right_) * fraction / out_rate_));
      } else if (at == index) {
        break;  // needs the next sample too
      } else {
        put(left, right);  // a gap in the input: hold
      }
      ++next_;
      at += wholeStep;
      fraction += fractionStep;
      if (fraction >= out_rate_) {
        fraction -= out_rate_;
        ++at;
      }
    }
    previous_left_ = left;
    previous_right_ = right;
    previous_index_ = index;
    have_previous_ = true;
  }
  out.resize(static_cast<size_t>(reinterpret_cast<unsigned char*>(cursor) - out.data()));
  received_ = nativeStart + limit;
}

void PcmShaper::Flush(std::vector<unsigned char>& out) {
  if (!have_previous_) return;
  // The samples whose position lies on or after the last native sample hold its value.
  int64_t numerator = begin_ * out_rate_ + next_ * in_rate_;
  while (numerator / out_rate_ <= previous_index_) {
    Emit(previous_left_, previous_right_, out);
    ++next_;
    numerator += in_rate_;
  }
}

}  // namespace sonark::mpeg

#include "capture/ffmpeg_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/camera_address.h"
#include "capture/nal_assembler.h"

namespace kestrin::capture {

namespace {

// Writes FFmpeg's error lines to standard error, passwords masked.
void LogLine(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line(object, level, format, arguments, line, sizeof line, &prefix);
  std::fputs(("ffmpeg: " + MaskPasswords(line)).c_str(), stderr);
}

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* pointer) const {
    Free(&pointer);
  }
};
using FormatPtr = std::unique_ptr<AVFormatContext, Deleter<avformat_close_input>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Deleter<avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, Deleter<av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, Deleter<av_frame_free>>;
struct ScaleDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using ScalePtr = std::unique_ptr<SwsContext, ScaleDeleter>;
struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

// One connection: a reader thread that opens the address, reads packets and
// decodes them. Before Deliver it only learns the picture size; afterwards it
// writes every picture into the frame store.
class FfmpegSource : public CameraSource {
 public:
  explicit FfmpegSource(FrameStore& store) : store_(store) {}
  ~FfmpegSource() override { Stop(); }

  bool Open(const std::string& url) override {
    reader_ = std::jthread([this, url = WithLowerCaseScheme(url)] { Read(url); });
    return true;
  }

  bool PictureSize(uint32_t& width, uint32_t& height) override {
    std::lock_guard lock(mutex_);
    if (width_ == 0 || height_ == 0) return false;
    width = width_;
    height = height_;
    return true;
  }

  void Pause() override { delivering_ = false; }

  void Deliver(uint32_t width, uint32_t height) override {
    {
      std::lock_guard lock(mutex_);
      deliver_width_ = width;
      deliver_height_ = height;
    }
    delivering_ = true;
  }

  bool IsPlaying() override {
    std::lock_guard lock(mutex_);
    return width_ != 0 && !ended_;
  }

  void Stop() override {
    abort_ = true;
    if (reader_.joinable()) reader_.join();
  }

  int64_t DecodedCount() override { return -1; }

 private:
  static int Interrupted(void* opaque) {
    return static_cast<FfmpegSource*>(opaque)->abort_.load() ? 1 : 0;
  }

  void Read(const std::string& url) {
    Stream(url);
    std::lock_guard lock(mutex_);
    ended_ = true;
  }

  // Opens `url` and decodes until the stream ends, fails, changes its picture
  // size or the source is stopped.
  void Stream(const std::string& url) {
    FormatPtr input(avformat_alloc_context());
    if (!input) return;
    input->interrupt_callback = AVIOInterruptCB{&FfmpegSource::Interrupted, this};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    av_dict_set(&options, "allowed_media_types", "video", 0);  // no audio set up
    av_dict_set(&options, "fflags", "nobuffer", 0);
    av_dict_set(&options, "probesize", "32768", 0);
#if LIBAVFORMAT_VERSION_MAJOR >= 59
    av_dict_set_int(&options, "timeout", FfmpegSourceMaker::kNetworkTimeoutUs, 0);
#else
    av_dict_set_int(&options, "stimeout", FfmpegSourceMaker::kNetworkTimeoutUs, 0);
#endif
    AVFormatContext* opened = input.release();
    const int status =
        avformat_open_input(&opened, url.c_str(), av_find_input_format("rtsp"), &options);
    std::unique_ptr<AVDictionary, DictionaryDeleter> left(options);
    if (status < 0) return;  // avformat_open_input freed the context
    input.reset(opened);
    // An option this FFmpeg does not know is left over, silently ignored.
    for (const AVDictionaryEntry* entry = nullptr;
         (entry = av_dict_get(left.get(), "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr;) {
      std::fprintf(stderr, "ffmpeg: option %s not supported\n", entry->key);
    }

    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0 || codec == nullptr) return;
    CodecPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder ||
        avcodec_parameters_to_context(decoder.get(), input->streams[index]->codecpar) < 0) {
      return;
    }
    decoder->flags |= AV_CODEC_FLAG_LOW_DELAY;
    decoder->thread_type = FF_THREAD_SLICE;
    decoder->thread_count = 2;
    // libavformat's H.264 parser hands a picture on only once the next one
    // begins, a frame interval late: H.264 goes to the decoder unit by unit
    // instead, and the decoder finishes a picture on its last slice.
    std::optional<NalAssembler> units;
    if (decoder->codec_id == AV_CODEC_ID_H264) {
      input->flags |= AVFMT_FLAG_NOPARSE;
      decoder->flags2 |= AV_CODEC_FLAG2_CHUNKS;
      units.emplace();
    }
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return;

    PacketPtr packet(av_packet_alloc());
    PacketPtr whole(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !whole || !frame) return;
    std::vector<uint8_t> bytes;
    while (!abort_ && av_read_frame(input.get(), packet.get()) >= 0) {
      const bool video = packet->stream_index == index;
      AVPacket* send = packet.get();
      if (video && units) {
        bytes.clear();
        units->Add({packet->data, static_cast<size_t>(packet->size)}, bytes);
        if (bytes.empty() || av_new_packet(whole.get(), static_cast<int>(bytes.size())) < 0) {
          av_packet_unref(packet.get());
          continue;
        }
        std::copy(bytes.begin(), bytes.end(), whole->data);
        send = whole.get();
      }
      const int sent = video ? avcodec_send_packet(decoder.get(), send) : 0;
      av_packet_unref(packet.get());
      av_packet_unref(whole.get());
      if (sent < 0 && sent != AVERROR_INVALIDDATA) return;
      while (video && avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
        const bool kept = Take(*frame);
        av_frame_unref(frame.get());
        if (!kept) return;
      }
    }
  }

  // Handles one decoded picture; false when the picture size changed while
  // delivering.
  bool Take(const AVFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0) return true;
    const auto width = static_cast<uint32_t>(frame.width);
    const auto height = static_cast<uint32_t>(frame.height);
    {
      std::lock_guard lock(mutex_);
      if (width_ == 0) {
        width_ = width;
        height_ = height;
      }
      if (!delivering_) return true;
      if (width != deliver_width_ || height != deliver_height_) return false;
    }
    scale_.reset(sws_getCachedContext(
        scale_.release(), frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
        frame.width, frame.height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale_) return false;
    const size_t bytes = static_cast<size_t>(width) * height * kFrameBytesPerPixel;
    std::lock_guard lock(store_.mutex());
    // The worker resizes the buffer only after Pause, but a picture may have
    // passed the check above just before it.
    if (!delivering_ || store_.buffer().size() < bytes) return true;
    uint8_t* planes[4] = {store_.buffer().data(), nullptr, nullptr, nullptr};
    const int strides[4] = {frame.width * 4, 0, 0, 0};
    sws_scale(scale_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides);
    ++store_.decoded_frames();
    store_.delivery().Add(std::chrono::steady_clock::now());
    return true;
  }

  FrameStore& store_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> delivering_{false};
  ScalePtr scale_;  // reader thread only

  std::mutex mutex_;  // guards the fields below
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t deliver_width_ = 0;
  uint32_t deliver_height_ = 0;
  bool ended_ = false;

  std::jthread reader_;  // last: joined before the fields above go
};

}  // namespace

FfmpegSourceMaker::FfmpegSourceMaker() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_callback(LogLine);
    avformat_network_init();
  });
}

std::unique_ptr<CameraSource> FfmpegSourceMaker::Make(const std::string&, FrameStore& store) {
  return std::make_unique<FfmpegSource>(store);
}

}  // namespace kestrin::capture

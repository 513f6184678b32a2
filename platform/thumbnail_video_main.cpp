// tessarine-thumb-video SOURCE OUTPUT LONGEST_SIDE QUALITY
// tessarine-thumb-video --serve CPU_SECONDS
//
// The video half of tessarine-thumb, which hands clips over to it: a key
// frame from about a second into the clip, scaled with swscale and written
// as JPEG through libvips, with the same arguments, exit statuses and
// guarantees as tessarine-thumb.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <cmath>
#include <iterator>

#include "platform/ThumbnailTool.h"

namespace {

using namespace vf::thumb;

constexpr int kMaxVideoPackets = 5000;

// Demuxers for the clips cameras write; nothing that follows playlists or
// references to other files.
constexpr const char* kVideoDemuxers = "mov,mpegts,avi,mxf,matroska";
constexpr AVCodecID kVideoCodecs[] = {
    AV_CODEC_ID_H264,  AV_CODEC_ID_HEVC,    AV_CODEC_ID_MPEG4,      AV_CODEC_ID_MJPEG, AV_CODEC_ID_MPEG2VIDEO,
    AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_PRORES, AV_CODEC_ID_DVVIDEO, AV_CODEC_ID_DNXHD, AV_CODEC_ID_VP8,
    AV_CODEC_ID_VP9,   AV_CODEC_ID_AV1,     AV_CODEC_ID_H263,       AV_CODEC_ID_JPEG2000,
};

struct FileIo {
    int fd;
    std::int64_t size;
};

int readFile(void* opaque, std::uint8_t* buf, int size) {
    const auto* io = static_cast<FileIo*>(opaque);
    ssize_t n;
    do {
        n = ::read(io->fd, buf, static_cast<std::size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return AVERROR(errno);
    if (n == 0) return AVERROR_EOF;
    return static_cast<int>(n);
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence) {
    const auto* io = static_cast<FileIo*>(opaque);
    if (whence & AVSEEK_SIZE) return io->size;
    const off_t pos = ::lseek(io->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(errno) : pos;
}

int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

struct VideoState {
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    ~VideoState() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&fmt);  // does not free a custom io
        if (io) av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

// Clockwise quarter turns from the stream's display matrix.
VipsAngle videoOrientation(const AVStream* st) {
    std::size_t size = 0;
    const std::uint8_t* m = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!m || size < 9 * sizeof(std::int32_t)) return VIPS_ANGLE_D0;
    std::int32_t matrix[9];
    std::memcpy(matrix, m, sizeof matrix);
    const double ccw = av_display_rotation_get(matrix);
    if (std::isnan(ccw)) return VIPS_ANGLE_D0;
    const int quarter = static_cast<int>(std::lround(-ccw / 90.0)) & 3;
    constexpr VipsAngle turns[] = {VIPS_ANGLE_D0, VIPS_ANGLE_D90, VIPS_ANGLE_D180, VIPS_ANGLE_D270};
    return turns[quarter];
}

Image frameThumbnail(VideoState& v, const AVFrame* f, int longestSide) {
    if (f->width <= 0 || f->height <= 0 || f->format < 0) return nullptr;
    const auto fmt = static_cast<AVPixelFormat>(f->format);
    if (!sws_isSupportedInput(fmt)) return nullptr;
    double displayWidth = f->width;
    if (f->sample_aspect_ratio.num > 0 && f->sample_aspect_ratio.den > 0)
        displayWidth = f->width * av_q2d(f->sample_aspect_ratio);
    const double scale = std::min(1.0, longestSide / std::max(displayWidth, static_cast<double>(f->height)));
    const int w = std::clamp(static_cast<int>(std::lround(displayWidth * scale)), 1, longestSide);
    const int h = std::clamp(static_cast<int>(std::lround(f->height * scale)), 1, longestSide);

    v.sws = sws_getContext(f->width, f->height, fmt, w, h, AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr);
    if (!v.sws) return nullptr;
    const int matrix = f->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
    const int fullRange = f->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    sws_setColorspaceDetails(v.sws, sws_getCoefficients(matrix), fullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             0, 1 << 16, 1 << 16);
    std::uint8_t* planes[4] = {};
    int lines[4] = {};
    if (av_image_alloc(planes, lines, w, h, AV_PIX_FMT_RGB24, 32) < 0) return nullptr;
    sws_scale(v.sws, f->data, f->linesize, 0, f->height, planes, lines);
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(w) * 3 * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y)
        std::memcpy(packed.data() + static_cast<std::size_t>(y) * w * 3, planes[0] + static_cast<std::ptrdiff_t>(y) * lines[0],
                    static_cast<std::size_t>(w) * 3);
    av_freep(&planes[0]);
    return pixelThumbnail(packed.data(), packed.size(), w, h, 3, 8, longestSide);
}

bool streamsDescribed(const AVFormatContext* fmt) {
    bool video = false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecParameters* p = fmt->streams[i]->codecpar;
        if (p->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        if (p->codec_id == AV_CODEC_ID_NONE || p->width <= 0 || p->height <= 0) return false;
        video = true;
    }
    return video;
}

Image videoThumbnail(const Input& in, int longestSide) {
    av_log_set_level(AV_LOG_QUIET);
    VideoState v;
    FileIo file{in.fd, static_cast<std::int64_t>(std::min<std::uint64_t>(in.size, INT64_MAX))};
    constexpr int kIoBuffer = 64 * 1024;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
    if (!buffer) return nullptr;
    v.io = avio_alloc_context(buffer, kIoBuffer, 0, &file, readFile, nullptr, seekFile);
    if (!v.io) {
        av_free(buffer);
        return nullptr;
    }
    v.fmt = avformat_alloc_context();
    if (!v.fmt) return nullptr;
    v.fmt->pb = v.io;
    v.fmt->io_open = refuseOpen;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "format_whitelist", kVideoDemuxers, 0);
    const int opened = avformat_open_input(&v.fmt, "", nullptr, &opts);
    av_dict_free(&opts);
    if (opened < 0) return nullptr;  // v.fmt freed and nulled by the call
    // Containers with a header (MP4, MOV, MKV, AVI, MXF) already state each
    // stream's codec and size; probing decodes frames and costs more than the
    // key frame itself. Only headerless streams (MPEG-TS) need it.
    if (!streamsDescribed(v.fmt) && avformat_find_stream_info(v.fmt, nullptr) < 0) return nullptr;

    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(v.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) return nullptr;
    const AVStream* st = v.fmt->streams[index];
    if (std::find(std::begin(kVideoCodecs), std::end(kVideoCodecs), st->codecpar->codec_id) == std::end(kVideoCodecs))
        return nullptr;
    if (!sizeAllowed(static_cast<std::uint64_t>(std::max(st->codecpar->width, 0)),
                     static_cast<std::uint64_t>(std::max(st->codecpar->height, 0))))
        return nullptr;
    v.codec = avcodec_alloc_context3(decoder);
    if (!v.codec || avcodec_parameters_to_context(v.codec, st->codecpar) < 0) return nullptr;
    v.codec->thread_count = 1;
    // Key frames decode on their own: the first one at or before the target is the picture.
    v.codec->skip_frame = AVDISCARD_NONKEY;
    if (avcodec_open2(v.codec, decoder, nullptr) < 0) return nullptr;

    // A frame about a second in, past the fade-in many clips start with.
    std::int64_t targetUs = AV_TIME_BASE;
    if (v.fmt->duration > 0) targetUs = std::min<std::int64_t>(targetUs, v.fmt->duration / 2);
    if (targetUs > 0 && st->time_base.num > 0 && st->time_base.den > 0) {
        std::int64_t ts = av_rescale_q(targetUs, AV_TIME_BASE_Q, st->time_base);
        if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
        av_seek_frame(v.fmt, index, ts, AVSEEK_FLAG_BACKWARD);  // failing that, from the start
    }

    v.packet = av_packet_alloc();
    v.frame = av_frame_alloc();
    if (!v.packet || !v.frame) return nullptr;
    bool draining = false;
    for (int packets = 0;;) {
        const int got = avcodec_receive_frame(v.codec, v.frame);
        if (got == 0) {
            if (v.frame->flags & AV_FRAME_FLAG_CORRUPT) {
                av_frame_unref(v.frame);
                continue;
            }
            return rotated(frameThumbnail(v, v.frame, longestSide), videoOrientation(st));
        }
        if (got != AVERROR(EAGAIN) || draining || packets++ >= kMaxVideoPackets) break;
        if (av_read_frame(v.fmt, v.packet) < 0) {
            draining = true;
            avcodec_send_packet(v.codec, nullptr);
            continue;
        }
        // A packet the decoder rejects is skipped; a later key frame may do.
        if (v.packet->stream_index == index) avcodec_send_packet(v.codec, v.packet);
        av_packet_unref(v.packet);
    }
    return nullptr;
}

int makeClip(const Input& in, int longestSide, int quality, std::vector<std::uint8_t>& jpeg) {
    Image thumb = videoThumbnail(in, longestSide);
    if (!thumb) say("decoding failed", "video");
    return encode(std::move(thumb), quality, jpeg);
}

int run(int argc, char** argv) {
    const bool serving = argc == 3 && std::string_view(argv[1]) == "--serve";
    int status = kOk;
    std::optional<Start> started;
    if (!serving && !(started = start(argc, argv, status))) return status;
    if (!startVips(argv[0])) {
        say("libvips did not start", vipsError());
        return kNotDecoded;
    }
    if (serving) return serve(argv[2], makeClip);
    std::vector<std::uint8_t> jpeg;
    status = makeClip(started->in, started->args.longestSide, started->args.quality, jpeg);
    return finish(status, jpeg, started->args);
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv);
    if (vipsStarted) vips_shutdown();
    return status;
}

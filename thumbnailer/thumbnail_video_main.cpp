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

#include "thumbnailer/ThumbnailTool.h"

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

// Reads on from where the clip stands to the first key frame that decodes,
// leaving its picture in v.frame.
bool keyPicture(VideoState& v, int index) {
    // Only key frames are decoded, and the decoder would hold each back for
    // its reorder delay, which then lasts several key frames or the whole of
    // a short clip. So it is emptied once a key frame is in: after the packet
    // that follows, which may be that frame's second field, or before it when
    // it is the next key frame. A key frame that gives no picture is passed by.
    bool keyIn = false;     // a key frame's packet went in, its picture has not come out
    bool drain = false;     // empty the decoder before the next packet goes in
    bool draining = false;  // it is being emptied
    bool ended = false;     // the file has no more packets
    bool held = false;      // v.packet is a key frame's, kept back while the decoder empties
    for (int packets = 0;;) {
        const int got = avcodec_receive_frame(v.codec, v.frame);
        if (got == 0) {
            if (v.frame->flags & AV_FRAME_FLAG_CORRUPT) {
                av_frame_unref(v.frame);
                continue;
            }
            return true;
        }
        if (got == AVERROR_EOF && draining && !ended) {
            avcodec_flush_buffers(v.codec);
            draining = false;
        } else if (got != AVERROR(EAGAIN) || draining) {
            break;
        }
        if (drain) {
            drain = false;
            draining = true;
            avcodec_send_packet(v.codec, nullptr);
            continue;
        }
        if (!held) {
            if (packets++ >= kMaxVideoPackets) return false;
            if (av_read_frame(v.fmt, v.packet) < 0) {
                ended = draining = true;
                avcodec_send_packet(v.codec, nullptr);
                continue;
            }
            if (v.packet->stream_index != index) {
                av_packet_unref(v.packet);
                continue;
            }
        }
        const bool key = v.packet->flags & AV_PKT_FLAG_KEY;
        if (keyIn && key) {
            held = drain = true;
            keyIn = false;
            continue;
        }
        held = false;
        // A packet the decoder rejects is skipped; a later key frame may do.
        const bool sent = avcodec_send_packet(v.codec, v.packet) == 0;
        av_packet_unref(v.packet);
        if (keyIn) {
            keyIn = false;
            drain = true;
        } else {
            keyIn = sent && key;
        }
    }
    return false;
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
    // stream's codec and size. Headerless streams (MPEG-TS) are probed for
    // their start and length only: probing would decode a run of frames to
    // learn the size, which costs more than the key frame itself and which
    // the decoder learns anyway, under the size limit set on it below.
    if (!streamsDescribed(v.fmt)) {
        std::vector<AVDictionary*> probing(v.fmt->nb_streams);
        for (AVDictionary*& d : probing) av_dict_set(&d, "skip_frame", "all", 0);
        const int probed = avformat_find_stream_info(v.fmt, probing.data());
        for (AVDictionary*& d : probing) av_dict_free(&d);
        if (probed < 0) return nullptr;
    }

    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(v.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) return nullptr;
    const AVStream* st = v.fmt->streams[index];
    if (std::find(std::begin(kVideoCodecs), std::end(kVideoCodecs), st->codecpar->codec_id) == std::end(kVideoCodecs))
        return nullptr;
    // A size the container states is checked before anything is decoded.
    const int statedWidth = st->codecpar->width, statedHeight = st->codecpar->height;
    if ((statedWidth > 0 || statedHeight > 0) &&
        !sizeAllowed(static_cast<std::uint64_t>(std::max(statedWidth, 0)),
                     static_cast<std::uint64_t>(std::max(statedHeight, 0))))
        return nullptr;
    v.codec = avcodec_alloc_context3(decoder);
    if (!v.codec || avcodec_parameters_to_context(v.codec, st->codecpar) < 0) return nullptr;
    v.codec->thread_count = 1;
    // The size the stream itself gives, whatever its container said: a
    // larger picture is refused before its buffers are allocated.
    v.codec->max_pixels = static_cast<std::int64_t>(kMaxPixels);
    // Key frames decode on their own: the first one at or before the target is the picture.
    v.codec->skip_frame = AVDISCARD_NONKEY;
    if (avcodec_open2(v.codec, decoder, nullptr) < 0) return nullptr;

    // A frame about a second in, past the fade-in many clips start with.
    std::int64_t targetUs = AV_TIME_BASE;
    if (v.fmt->duration > 0) targetUs = std::min<std::int64_t>(targetUs, v.fmt->duration / 2);
    bool sought = false;
    if (targetUs > 0 && st->time_base.num > 0 && st->time_base.den > 0) {
        std::int64_t ts = av_rescale_q(targetUs, AV_TIME_BASE_Q, st->time_base);
        if (st->start_time != AV_NOPTS_VALUE) ts += st->start_time;
        sought = av_seek_frame(v.fmt, index, ts, AVSEEK_FLAG_BACKWARD) >= 0;
    }

    v.packet = av_packet_alloc();
    v.frame = av_frame_alloc();
    if (!v.packet || !v.frame) return nullptr;
    bool found = keyPicture(v, index);
    if (!found && sought) {
        // Seeking by timestamps alone, as in MPEG-TS, can land past the only
        // key frame before the target, and a damaged clip may have none that
        // decodes after it: then the first one of the clip. Where the first
        // packets are decoded before they are shown, aiming at the start lands
        // past them too, so aim a second earlier; demuxers with an index
        // (AVI) refuse that, and take the start itself.
        avcodec_flush_buffers(v.codec);
        const std::int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        const std::int64_t second = av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, st->time_base);
        found = (av_seek_frame(v.fmt, index, first - second, AVSEEK_FLAG_BACKWARD) >= 0 ||
                 av_seek_frame(v.fmt, index, first, AVSEEK_FLAG_BACKWARD) >= 0) &&
                keyPicture(v, index);
    }
    if (!found) return nullptr;
    return rotated(frameThumbnail(v, v.frame, longestSide), videoOrientation(st));
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

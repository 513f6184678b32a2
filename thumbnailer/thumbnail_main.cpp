// tessarine-thumb SOURCE OUTPUT LONGEST_SIDE QUALITY
// tessarine-thumb --serve CPU_SECONDS
//
// Writes OUTPUT, a JPEG of SOURCE whose longer side is at most LONGEST_SIDE
// pixels (never enlarged), at the given JPEG quality, mode 0644. Exit status
// 0 on success; otherwise no OUTPUT is written. Still pictures go through
// libvips, camera raw files through LibRaw (embedded preview first), video
// clips to tessarine-thumb-video beside this program. The input is
// untrusted: the decoder is chosen from the file's own bytes, every other
// loader stays blocked, and the caller runs this program under resource
// limits as an unprivileged user. With --serve it makes one thumbnail after
// another for the files it is sent (see serve()); clips are answered with
// status 5, for the caller to send to tessarine-thumb-video --serve.

#include <array>
#include <libraw/libraw.h>

#include "thumbnailer/JpegEighth.h"
#include "thumbnailer/ThumbnailTool.h"

namespace {

using namespace vf::thumb;
using vf::ThumbnailDecoder;

constexpr std::uint64_t kMaxBufferedFile = 256ull << 20;  // BMP files are read whole

// ---------------------------------------------------------------- libvips

const char* loaderClass(ThumbnailDecoder d) {
    switch (d) {
        case ThumbnailDecoder::jpeg: return "VipsForeignLoadJpeg";
        case ThumbnailDecoder::png: return "VipsForeignLoadPng";
        case ThumbnailDecoder::gif: return "VipsForeignLoadNsgif";
        case ThumbnailDecoder::tiff: return "VipsForeignLoadTiff";
        case ThumbnailDecoder::webp: return "VipsForeignLoadWebp";
        case ThumbnailDecoder::heif: return "VipsForeignLoadHeif";
        case ThumbnailDecoder::ppm: return "VipsForeignLoadPpm";
        case ThumbnailDecoder::bmp: return "VipsForeignLoadMagick";
        case ThumbnailDecoder::raw: return "VipsForeignLoadJpeg";  // the embedded preview
        case ThumbnailDecoder::video:
        case ThumbnailDecoder::none: return nullptr;
    }
    return nullptr;
}

// ---------------------------------------------------------------- JPEG

// Upright by an EXIF orientation (1 to 8), mirrored ones included.
Image upright(Image img, int orientation) {
    if (!img || orientation <= 1 || orientation > 8) return img;
    VipsImage* copy = nullptr;
    if (vips_copy(img.get(), &copy, nullptr) != 0) return nullptr;
    Image tagged(copy);
    vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, orientation);
    VipsImage* out = nullptr;
    if (vips_autorot(tagged.get(), &out, nullptr) != 0) return nullptr;
    return Image(out);
}

// The orientation a JPEG's EXIF block gives, 1 when it gives none.
int jpegOrientation(std::span<const std::uint8_t> jpeg) {
    Image header(vips_image_new_from_buffer(jpeg.data(), jpeg.size(), "", nullptr));
    if (!header) {
        vips_error_clear();
        return 1;
    }
    return vips_image_get_orientation(header.get());
}

// A JPEG in memory, turned by its own orientation when asked. One whose
// eighth still covers the thumbnail is read at that eighth from its DC
// coefficients, the block means. libvips would read a quarter until the
// eighth is twice the thumbnail, for a finer final resize; on a 200 px
// thumbnail at quality 60 that changes PSNR by about 0.1 dB, against
// 40 % of the time for a 2400 px photo.
Image jpegBufferThumbnail(std::span<const std::uint8_t> jpeg, int longestSide, bool autorotate) {
    if (const auto eighth = vf::decodeJpegEighth(jpeg, kMaxPixels, longestSide)) {
        Image thumb = pixelThumbnail(eighth->pixels.data(), eighth->pixels.size(), eighth->width, eighth->height,
                                     eighth->bands, 8, longestSide);
        if (!autorotate) return thumb;
        return upright(std::move(thumb), jpegOrientation(jpeg));
    }
    // libjpeg takes every scan it is given; a file of thousands of empty ones
    // would hold the tool for its whole CPU allowance.
    if (!vf::fullDecodeAllowed(vf::measureJpeg(jpeg, vf::kMaxJpegScans))) {
        say("too many scans for its size");
        return nullptr;
    }
    VipsInput input;
    input.data = jpeg.data();
    input.size = jpeg.size();
    return vipsThumbnail(input, longestSide, autorotate);
}

// ---------------------------------------------------------------- LibRaw

struct ProcessedImage {
    libraw_processed_image_t* p = nullptr;
    ~ProcessedImage() {
        if (p) LibRaw::dcraw_clear_mem(p);
    }
};

Image fromProcessed(const libraw_processed_image_t* p, int longestSide) {
    if (!p) return nullptr;
    if (p->type == LIBRAW_IMAGE_JPEG)  // its orientation is the raw file's, applied by the caller
        return jpegBufferThumbnail(std::span<const std::uint8_t>(p->data, p->data_size), longestSide, false);
    if (p->type == LIBRAW_IMAGE_BITMAP)
        return pixelThumbnail(p->data, p->data_size, p->width, p->height, p->colors, p->bits, longestSide);
    return nullptr;
}

VipsAngle rawOrientation(int flip) {
    switch (flip) {
        case 3: return VIPS_ANGLE_D180;
        case 5: return VIPS_ANGLE_D270;
        case 6: return VIPS_ANGLE_D90;
        default: return VIPS_ANGLE_D0;
    }
}

Image rawThumbnail(const Input& in, int longestSide) {
    const Mapping map(in);
    if (!map.data()) return nullptr;
    auto raw = std::make_unique<LibRaw>();
    libraw_output_params_t& params = raw->imgdata.params;
    params.half_size = 1;
    params.use_camera_wb = 1;
    params.output_bps = 8;
    params.user_qual = 0;  // bilinear: fastest, and ample for a thumbnail
    params.max_raw_memory_mb = 512;
    if (raw->open_buffer(map.data(), map.size()) != LIBRAW_SUCCESS) return nullptr;

    // The embedded preview is a JPEG the camera made: fast, and what the camera showed.
    Image preview;
    if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
        int err = 0;
        ProcessedImage thumb{raw->dcraw_make_mem_thumb(&err)};
        preview = rotated(fromProcessed(thumb.p, longestSide), rawOrientation(raw->imgdata.sizes.flip));
    }
    // A preview much smaller than asked for (some keep only 160 px) loses to a decode.
    if (preview && longerSide(preview) * 2 >= longestSide) return preview;
    if (raw->unpack() == LIBRAW_SUCCESS && raw->dcraw_process() == LIBRAW_SUCCESS) {
        int err = 0;
        ProcessedImage full{raw->dcraw_make_mem_image(&err)};
        if (Image img = fromProcessed(full.p, longestSide)) return img;
    }
    return preview;
}

// ---------------------------------------------------------------- camera previews in JPEG

// Cameras store a large preview (often 1620 or 1920 px wide) after the photo,
// listed in an APP2 "MPF" index. Decoding it costs a fraction of the 20-odd
// megapixels of the photo itself, whose entropy data must be read in full.
// Returns the preview's bytes inside `file`, or an empty span.
std::span<const std::uint8_t> mpfPreview(std::span<const std::uint8_t> file) {
    const vf::ByteReader r(file);
    if (r.be16(0) != 0xFFD8) return {};
    std::size_t pos = 2;
    for (int segments = 0; segments < 32; ++segments) {
        const auto marker = r.be16(pos), length = r.be16(pos + 2);
        if (!marker || !length || (*marker & 0xFF00) != 0xFF00 || *marker == 0xFFDA || *length < 2) return {};
        if (*marker == 0xFFE2 && r.matches(pos + 4, std::string_view("MPF\0", 4))) {
            const std::size_t base = pos + 8;  // offsets count from the index's TIFF header
            const std::size_t end = pos + 2 + *length;
            const vf::ByteReader index(file.subspan(0, std::min(end, file.size())));
            const bool little = index.matches(base, "II");
            if (!little && !index.matches(base, "MM")) return {};
            auto u16 = [&](std::size_t at) { return little ? index.le16(at) : index.be16(at); };
            auto u32 = [&](std::size_t at) { return little ? index.le32(at) : index.be32(at); };
            const auto ifd = u32(base + 4);
            if (!ifd || *ifd > end) return {};
            const auto count = u16(base + *ifd);
            if (!count) return {};
            for (std::size_t e = 0; e < std::min<std::size_t>(*count, 64); ++e) {
                const std::size_t at = base + *ifd + 2 + 12 * e;
                const auto tag = u16(at), type = u16(at + 2);
                const auto n = u32(at + 4), where = u32(at + 8);
                if (!tag || *tag != 0xB002 || !type || *type != 7 || !n || !where) continue;
                // 16 bytes per image: attributes, size, offset, two dependents.
                for (std::size_t k = 1; k < std::min<std::uint32_t>(*n / 16, 8); ++k) {
                    const auto size = u32(base + *where + 16 * k + 4), offset = u32(base + *where + 16 * k + 8);
                    if (!size || !offset || *size < 4) continue;
                    const auto start = vf::checkedAdd(static_cast<std::uint64_t>(base), *offset);
                    const auto stop = start ? vf::checkedAdd(*start, *size) : std::nullopt;
                    if (!stop || *stop > file.size()) continue;
                    const auto preview = file.subspan(static_cast<std::size_t>(*start), *size);
                    if (vf::ByteReader(preview).be16(0) == 0xFFD8) return preview;
                }
                return {};
            }
            return {};
        }
        pos += 2 + *length;
    }
    return {};
}

Image jpegThumbnail(const Input& in, int longestSide) {
    const Mapping map(in);
    if (!map.data()) return nullptr;
    const std::span<const std::uint8_t> file(static_cast<const std::uint8_t*>(map.data()), map.size());
    if (const auto preview = mpfPreview(file); !preview.empty()) {
        // Only a preview at least as large as asked for. Previews seldom carry
        // an orientation of their own: the photo's applies.
        Image header(vips_image_new_from_buffer(preview.data(), preview.size(), "", nullptr));
        if (header && std::max(header->Xsize, header->Ysize) >= longestSide) {
            if (Image thumb = jpegBufferThumbnail(preview, longestSide, false))
                return upright(std::move(thumb), jpegOrientation(file));
        }
        vips_error_clear();
    }
    return jpegBufferThumbnail(file, longestSide, true);
}

// ---------------------------------------------------------------- dispatch

Image bufferedThumbnail(const Input& in, int longestSide) {
    if (in.size > kMaxBufferedFile) return nullptr;
    const Mapping map(in);
    if (!map.data()) return nullptr;
    VipsInput input;
    input.data = map.data();
    input.size = map.size();
    return vipsThumbnail(input, longestSide, true);
}

Image decode(ThumbnailDecoder d, const Input& in, int longestSide) {
    switch (d) {
        case ThumbnailDecoder::raw: return rawThumbnail(in, longestSide);
        case ThumbnailDecoder::jpeg: return jpegThumbnail(in, longestSide);
        case ThumbnailDecoder::bmp: return bufferedThumbnail(in, longestSide);  // its loader reads no stream
        case ThumbnailDecoder::video:  // handed over before decoding starts
        case ThumbnailDecoder::none: return nullptr;
        default: {
            VipsInput input;
            input.fd = in.fd;
            return vipsThumbnail(input, longestSide, true);
        }
    }
}

// Clips go to the video program; exec keeps this process, so its limits,
// user and process group hold there too.
int handOverVideo(char** argv) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return kNotDecoded;
    const std::string video = (self.parent_path() / "tessarine-thumb-video").string();
    char* args[] = {const_cast<char*>(video.c_str()), argv[1], argv[2], argv[3], argv[4], nullptr};
    ::execv(video.c_str(), args);
    say("cannot start the video program", std::strerror(errno));
    return kNotDecoded;
}

int makeStill(const Input& in, int longestSide, int quality, std::vector<std::uint8_t>& jpeg) {
    const vf::ThumbnailPlan plan = vf::planThumbnail(readHead(in), in.extension);
    if (plan.empty()) {
        say("not a picture or clip that can be decoded");
        return kNotDecoded;
    }
    if (plan.decoders[0] == ThumbnailDecoder::video) return kHandOver;
    std::array<const char*, 2> loaders{};
    std::array<const char*, 2> modules{};
    for (std::size_t i = 0; i < plan.decoders.size(); ++i) {
        loaders[i] = loaderClass(plan.decoders[i]);
        if (plan.decoders[i] == ThumbnailDecoder::heif) modules[i] = "vips-heif";
        if (plan.decoders[i] == ThumbnailDecoder::bmp) modules[i] = "vips-magick";
    }
    allowLoaders(loaders, modules);
    Image thumb;
    for (ThumbnailDecoder d : plan.decoders) {
        if (d == ThumbnailDecoder::none) break;
        thumb = decode(d, in, longestSide);
        if (thumb) break;
        say("decoding failed", std::string(vf::decoderName(d)) + (vips_error_buffer()[0] ? ": " + vipsError() : ""));
    }
    return encode(std::move(thumb), quality, jpeg);
}

int run(int argc, char** argv) {
    ::setenv("MAGICK_THREAD_LIMIT", "1", 1);
    if (argc == 3 && std::string_view(argv[1]) == "--serve") {
        if (!startVips(argv[0])) {
            say("libvips did not start", vipsError());
            return kNotDecoded;
        }
        return serve(argv[2], makeStill);
    }
    int status = kOk;
    const std::optional<Start> started = start(argc, argv, status);
    if (!started) return status;
    // Clips leave before libvips starts: the video program loads its own.
    const vf::ThumbnailPlan plan = vf::planThumbnail(readHead(started->in), started->in.extension);
    if (!plan.empty() && plan.decoders[0] == ThumbnailDecoder::video) return handOverVideo(argv);
    if (!startVips(argv[0])) {
        say("libvips did not start", vipsError());
        return kNotDecoded;
    }
    std::vector<std::uint8_t> jpeg;
    status = makeStill(started->in, started->args.longestSide, started->args.quality, jpeg);
    return finish(status, jpeg, started->args);
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv);
    if (vipsStarted) vips_shutdown();
    return status;
}

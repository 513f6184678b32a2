#include "thumbnailer/ThumbnailTool.h"

#ifndef VF_VIPS_LIBDIR
#define VF_VIPS_LIBDIR "/usr/lib"
#endif

namespace vf::thumb {

bool vipsStarted = false;

std::string vipsError() {
    std::string e = vips_error_buffer();
    vips_error_clear();
    while (!e.empty() && (e.back() == '\n' || e.back() == ' ')) e.pop_back();
    return e;
}

bool loadVipsModule(const char* name) {
    char path[512];
    std::snprintf(path, sizeof path, "%s/vips-modules-%d.%d/%s.so", VF_VIPS_LIBDIR, vips_version(0), vips_version(1),
                  name);
    // Kept open for the life of the process: the module registers its loaders.
    return g_module_open(path, G_MODULE_BIND_LAZY) != nullptr;
}

bool startVips(const char* argv0) {
    // Loading every module (PDF, OpenSlide, ImageMagick, ...) takes longer
    // than a whole JPEG thumbnail.
    ::setenv("VIPSHOME", "/nonexistent", 1);
    if (VIPS_INIT(argv0) != 0) return false;
    vipsStarted = true;
    vips_concurrency_set(1);  // the caller runs several thumbnails side by side
    vips_cache_set_max(0);
    vips_operation_block_set("VipsForeignLoad", TRUE);
    return true;
}

void allowLoaders(std::span<const char* const> loaders, std::span<const char* const> modules) {
    static std::vector<std::string> loaded;
    for (const char* m : modules) {
        if (!m || std::find(loaded.begin(), loaded.end(), m) != loaded.end()) continue;
        if (loadVipsModule(m))
            loaded.emplace_back(m);
        else
            say("cannot load the libvips module", m);
    }
    vips_operation_block_set("VipsForeignLoad", TRUE);
    for (const char* cls : loaders)
        if (cls) vips_operation_block_set(cls, FALSE);
}

bool sizeAllowed(std::uint64_t width, std::uint64_t height) {
    const auto pixels = vf::checkedMul(width, height);
    return width > 0 && height > 0 && pixels && *pixels <= kMaxPixels;
}

Image vipsThumbnail(const VipsInput& input, int longestSide, bool autorotate) {
    const bool fromBuffer = input.fd < 0;
    {
        VipsImage* header = nullptr;
        Source src;
        if (fromBuffer) {
            header = vips_image_new_from_buffer(input.data, input.size, "", nullptr);
        } else {
            src = input.open();
            if (src) header = vips_image_new_from_source(src.get(), "", nullptr);
        }
        Image h(header);
        if (!h) return nullptr;
        if (!sizeAllowed(static_cast<std::uint64_t>(h->Xsize), static_cast<std::uint64_t>(h->Ysize))) {
            say("picture too large");
            return nullptr;
        }
    }
    VipsImage* out = nullptr;
    int rc;
    if (fromBuffer) {
        rc = vips_thumbnail_buffer(const_cast<void*>(input.data), input.size, &out, longestSide, "size",
                                   VIPS_SIZE_DOWN, "no_rotate", !autorotate, nullptr);
    } else {
        Source src = input.open();
        if (!src) return nullptr;
        rc = vips_thumbnail_source(src.get(), &out, longestSide, "size", VIPS_SIZE_DOWN, "no_rotate", !autorotate,
                                   nullptr);
    }
    Image thumb(out);
    if (rc != 0 || !thumb) return nullptr;
    return Image(vips_image_copy_memory(thumb.get()));
}

Image pixelThumbnail(const void* data, std::size_t size, int width, int height, int bands, int bits,
                     int longestSide) {
    if (width <= 0 || height <= 0 || (bands != 1 && bands != 3) || (bits != 8 && bits != 16)) return nullptr;
    if (!sizeAllowed(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height))) return nullptr;
    const auto need = vf::checkedMul(static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height),
                                     static_cast<std::uint64_t>(bands) * static_cast<std::uint64_t>(bits / 8));
    if (!need || *need > size) return nullptr;
    Image raw(vips_image_new_from_memory_copy(data, static_cast<std::size_t>(*need), width, height, bands,
                                              bits == 8 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT));
    if (!raw) return nullptr;
    VipsInterpretation kind = bands == 3 ? (bits == 8 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16)
                                         : (bits == 8 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_GREY16);
    VipsImage* tagged = nullptr;
    if (vips_copy(raw.get(), &tagged, "interpretation", kind, nullptr) != 0) return nullptr;
    Image t(tagged);
    VipsImage* out = nullptr;
    if (vips_thumbnail_image(t.get(), &out, longestSide, "size", VIPS_SIZE_DOWN, nullptr) != 0) return nullptr;
    Image thumb(out);
    return Image(vips_image_copy_memory(thumb.get()));
}

Image rotated(Image img, VipsAngle angle) {
    if (!img || angle == VIPS_ANGLE_D0) return img;
    VipsImage* out = nullptr;
    if (vips_rot(img.get(), &out, angle, nullptr) != 0) return nullptr;
    return Image(out);
}

std::optional<std::vector<std::uint8_t>> encodeJpeg(Image img, int quality) {
    const VipsInterpretation kind = vips_image_get_interpretation(img.get());
    if (kind != VIPS_INTERPRETATION_sRGB && kind != VIPS_INTERPRETATION_B_W) {
        VipsImage* out = nullptr;
        if (vips_colourspace(img.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr) == 0)
            img = Image(out);
        else
            vips_error_clear();  // the saver converts what it can
    }
    if (vips_image_hasalpha(img.get())) {
        VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
        VipsImage* out = nullptr;
        const int rc = vips_flatten(img.get(), &out, "background", white, nullptr);
        vips_area_unref(VIPS_AREA(white));
        if (rc != 0) return std::nullopt;
        img = Image(out);
    }
    void* data = nullptr;
    std::size_t size = 0;
    if (vips_jpegsave_buffer(img.get(), &data, &size, "Q", quality, "strip", TRUE, nullptr) != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    g_free(data);
    return bytes;
}

int encode(Image thumb, int quality, std::vector<std::uint8_t>& jpeg) {
    if (!thumb) return kNotDecoded;
    auto bytes = encodeJpeg(std::move(thumb), quality);
    if (!bytes) {
        say("JPEG encoding failed", vipsError());
        return kNotDecoded;
    }
    jpeg = std::move(*bytes);
    return kOk;
}

}  // namespace vf::thumb

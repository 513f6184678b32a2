// Volume detection, the directory walk and extraction over an arbitrary image.
#include <cstdint>
#include <vector>

#include "helper/fat/FATParser.h"
#include "helper/io/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        vf::setLogSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    vf::MemoryDevice device(std::vector<std::uint8_t>(data, data + size));
    auto parser = vf::FATParser::detect(device);
    if (!parser) return 0;
    const vf::DirectoryIndex index = parser->buildDirectoryIndex();
    int extracted = 0;
    for (const auto& [offset, hint] : index) {
        if (++extracted > 16) break;
        vf::MemorySink sink;
        (void)parser->extractFile(offset, hint.fileSize % (1u << 22), sink, 512);
        (void)parser->isClusterRecovered(hint.startCluster);
    }
    (void)parser->clusterForOffset(size / 2);
    return 0;
}

#include "helper/ThumbnailAdapter.h"

#include <unistd.h>

#include "platform/Thumbnailer.h"

namespace vf {
namespace {

class QueueSink final : public ThumbnailSink {
public:
    explicit QueueSink(ThumbnailOptions options) : queue_(std::move(options), 2) {}
    void submit(const std::filesystem::path& source, const std::filesystem::path& thumbnail) override {
        ThumbnailJob job;
        job.source = source;
        job.output = thumbnail;
        job.longestSide = 200;
        job.quality = 60;
        queue_.submit(std::move(job));
    }
    void wait() override { queue_.wait(); }
    void dropQueued() override { queue_.dropQueued(); }

private:
    ThumbnailQueue queue_;
};

}  // namespace

std::unique_ptr<ThumbnailSink> makeThumbnailSink(std::optional<Owner> owner) {
    ThumbnailOptions options;
    options.toolPath = defaultThumbnailToolPath();
    options.reuseProcesses = true;  // starting the libraries costs more than most thumbnails
    if (options.toolPath.empty() || ::access(options.toolPath.c_str(), X_OK) != 0) return nullptr;
    if (owner && ::geteuid() == 0) {
        options.uid = owner->uid;
        options.gid = owner->gid;
    }
    return std::make_unique<QueueSink>(std::move(options));
}

}  // namespace vf

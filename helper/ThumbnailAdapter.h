#pragma once
// The engine's thumbnail jobs, run by the platform's sandboxed thumbnail tool.

#include <memory>
#include <optional>

#include "helper/DiskCarver.h"
#include "helper/OutputDirectory.h"

namespace vf {

// 200 px at quality 60, as the user (owner) when we are root. Nothing when the
// tool cannot be found.
std::unique_ptr<ThumbnailSink> makeThumbnailSink(std::optional<Owner> owner);

}  // namespace vf

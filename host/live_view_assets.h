// The live view's page files, embedded in the program at build time by
// live_view/embed_assets.cmake.
#ifndef PLCHOST_LIVE_VIEW_ASSETS_H
#define PLCHOST_LIVE_VIEW_ASSETS_H

#include <cstddef>

struct LiveViewAsset {
    const char *path; // "/" and the file's name
    const unsigned char *data;
    std::size_t size;
};
extern const LiveViewAsset kLiveViewAssets[];
extern const std::size_t kLiveViewAssetCount;

#endif

#pragma once

// Procedural pictures for the farm's scenes: photo-like stills for the feed
// and the layers of the video's landscape. All made at once on the first use
// of any (about 0.2-0.4 s), the same on every run; any thread may read them.

#include <QImage>

namespace farm {

constexpr int kPhotoCount = 6;
constexpr int kPhotoWidth = 768;
constexpr int kPhotoHeight = 480;

// One of kPhotoCount photo-like pictures (kPhotoWidth x kPhotoHeight, opaque).
QImage photo(int index);

enum class Layer
{
    Clouds,    // white with soft alpha
    Mountains, // far ridge, hazy
    Hills,     // near ridge with woods
    Ground,    // foreground grass and rocks
};

// A layer of the landscape, kLayerWidth wide and repeating sideways; opaque
// below its ridge, transparent above.
constexpr int kLayerWidth = 2048;
QImage landscapeLayer(Layer layer);

} // namespace farm

// The Windows imaging backend's own operations, beyond the node interface
// of image_node.h: the WIC bitmaps behind a node in the forms the GUI
// draws with, the GUI cache, and the GDI edges (HBITMAP export and import,
// GDI+ bitmaps over the pixels, bitmaps over caller pixels for the
// clipboard and the camera).
//
// A node keeps two WIC bitmaps. The pixel bitmap is an in-memory 32bppBGRA
// bitmap that locks, pixel reads and writes use; the main bitmap is a
// source in the form the GUI or an encoder asked for (a format converter,
// or an in-memory premultiplied copy for drawing). Each is rebuilt lazily
// from the other, as the node's flags say: a write to the pixels makes the
// main bitmap stale (NODE_PIXELS_WRITTEN), a drawing into the main bitmap
// makes the pixels stale (NODE_DRAWN).
#pragma once
#ifdef _WIN32
#include <windows.h>
#include <wincodec.h>

#include "datatypes/image_node.h"

namespace vel::image {

// The factory, made on first use; null when WIC could not start.
IWICImagingFactory* wic_factory();

// The main bitmap in the asked form (32bppPBGRA or 32bppBGRA), rebuilt
// from the pixels when they were written or the form differs. The node
// keeps the reference.
IWICBitmapSource* get_bitmap(Node* node, bool premultiplied);
// A premultiplied in-memory copy of the main bitmap for drawing, which
// becomes the main bitmap. The node keeps the reference.
IWICBitmapSource* get_loaded_bitmap(Node* node);
// The 32bppBGRA pixel bitmap, rebuilt from the main bitmap when absent or
// stale. The node keeps the reference.
IWICBitmap* get_pixel_bitmap(Node* node);

// After drawing into the main bitmap: the pixels must be rebuilt from it,
// and the GUI's cached bitmap no longer shows the image.
void invalidate(Node* node);
// The GUI cache: a COM object of the GUI's drawing code. get takes a
// reference for the caller and notes the fetch (NODE_CACHE_FETCHED); set
// takes its own reference and drops the previous cache.
IUnknown* get_cached_bitmap(Node* node);
void set_cached_bitmap(Node* node, IUnknown* bitmap);
void release_cache(Node* node);

// A new GDI bitmap (one plane, 32 bits) holding the pixels; null when GDI
// refuses it. The caller deletes it.
HBITMAP to_hbitmap(Node* node);
// A new node over a GDI bitmap's pixels converted to 32bppBGRA; null when
// WIC refuses the bitmap. Alpha is taken from the bitmap as it stands.
Node* from_hbitmap(HBITMAP bitmap);
// A GDI+ bitmap (a GpBitmap) over the image's pixels, for the GUI's GDI+
// painting, or null when GDI+ cannot start or refuses it. The pixels stay
// locked for writing, so what GDI+ draws is the image's pixels, until
// release_gdiplus_bitmap disposes of the bitmap and unlocks them.
void* to_gdiplus_bitmap(Node* node, Lock& lock);
void release_gdiplus_bitmap(void* bitmap, Lock& lock);
// A new node holding a copy of the caller's 32bppBGRA pixels (stride 0
// means width * 4); null when the size is out of bounds or WIC fails.
Node* from_pixels(uint32_t width, uint32_t height, size_t stride, const uint8_t* pixels);

}  // namespace vel::image
#endif

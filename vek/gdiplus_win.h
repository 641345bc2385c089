#pragma once
// The part of the GDI+ flat API the program draws pictures with, and owners for
// its images and graphics. Declared here rather than through <gdiplus.h>, whose
// C++ wrappers do not build cleanly with every MinGW release.
#include "vek/handles_win.h"

#include <objidl.h>

extern "C" {
struct GdiplusStartupInputFlat {
  UINT32 GdiplusVersion;
  void* DebugEventCallback;
  BOOL SuppressBackgroundThread;
  BOOL SuppressExternalCodecs;
};
struct GpImage;
struct GpGraphics;
int WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInputFlat* input, void* output);
int WINAPI GdipCreateBitmapFromStream(IStream* stream, GpImage** bitmap);
int WINAPI GdipDisposeImage(GpImage* image);
int WINAPI GdipCreateFromHDC(HDC hdc, GpGraphics** graphics);
int WINAPI GdipDeleteGraphics(GpGraphics* graphics);
int WINAPI GdipDrawImageRectI(GpGraphics* graphics, GpImage* image, INT x, INT y, INT width, INT height);
int WINAPI GdipSetInterpolationMode(GpGraphics* graphics, int mode);
}

namespace vek {

using unique_gp_image = unique_any<handle_traits::null_invalid<GpImage*, GdipDisposeImage>>;
using unique_gp_graphics = unique_any<handle_traits::null_invalid<GpGraphics*, GdipDeleteGraphics>>;

}  // namespace vek

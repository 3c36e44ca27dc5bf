#pragma once
// Icons, as the component library hands them to the host: image data behind
// a handle whose holder owns it.

#include "platform/TypInfo.h"

#include <cstdint>
#include <span>
#include <vector>

namespace Vantry {

// The image behind an icon handle: encoded image data (PNG, ICO...), as read.
struct TIconImage {
  std::vector<uint8_t> Data;
};
// An icon handle; null is no icon. Whoever holds a non-null handle frees it
// with DestroyIcon.
using HICON = TIconImage*;
void DestroyIcon(HICON AIcon);

class TIcon : public TObject {
  VANTRY_CLASS(TIcon)

public:
  TIcon() = default;
  ~TIcon() override;
  TIcon(const TIcon&) = delete;
  TIcon& operator=(const TIcon&) = delete;

  bool Empty() const { return FHandle == nullptr; }
  // The icon keeps ownership of this handle.
  HICON Handle() const { return FHandle; }
  // Takes ownership of AHandle, freeing the icon's previous one.
  void SetHandle(HICON AHandle);
  // Gives the handle up: the caller owns it and the icon is empty afterwards.
  HICON ReleaseHandle();
  // Copies another icon's image (an empty source empties this one).
  void Assign(const TIcon& ASource);
  void LoadFromData(std::vector<uint8_t> AData);

  // Whether AData is an image an icon holds: PNG or Windows ICO data, told by
  // their signatures. Stored descriptions load only such data.
  static bool IsImageData(std::span<const uint8_t> AData);
  static const char* ImageDataKinds() { return "PNG or ICO image data"; }

private:
  HICON FHandle = nullptr;
};

}  // namespace Vantry

#include "platform/Graphics.h"

#include <algorithm>

namespace Vantry {

void DestroyIcon(HICON AIcon) { delete AIcon; }

const TClassInfo& TIcon::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TIcon, TObject>("TIcon");
  return Info;
}

TIcon::~TIcon() { DestroyIcon(FHandle); }

void TIcon::SetHandle(HICON AHandle) {
  if (AHandle == FHandle) return;
  DestroyIcon(FHandle);
  FHandle = AHandle;
}

HICON TIcon::ReleaseHandle() {
  HICON handle = FHandle;
  FHandle = nullptr;
  return handle;
}

void TIcon::Assign(const TIcon& ASource) {
  if (&ASource == this) return;
  SetHandle(ASource.FHandle ? new TIconImage(*ASource.FHandle) : nullptr);
}

void TIcon::LoadFromData(std::vector<uint8_t> AData) { SetHandle(new TIconImage{std::move(AData)}); }

bool TIcon::IsImageData(std::span<const uint8_t> AData) {
  static constexpr uint8_t Png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static constexpr uint8_t Ico[] = {0, 0, 1, 0};  // reserved word, then type 1: icon
  const auto startsWith = [&](std::span<const uint8_t> ASignature) {
    return AData.size() > ASignature.size() && std::equal(ASignature.begin(), ASignature.end(), AData.begin());
  };
  return startsWith(Png) || startsWith(Ico);
}

}  // namespace Vantry

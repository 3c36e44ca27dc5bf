#include "platform/Graphics.h"

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

}  // namespace Vantry

#pragma once
// Host objects: reference-counted objects that the host and its add-ins hand
// each other. Whoever obtains a reference gives it up with Free (or Release);
// the last one given up destroys the object.

#include <utility>

// Classes and variables shared by the host and every add-in: their type
// information and storage live once, in the host interface library.
#define VANTRY_HOST_API __attribute__((visibility("default")))

namespace Vantry {

class VANTRY_HOST_API TInterface {
public:
  TInterface() = default;
  TInterface(const TInterface&) = delete;
  TInterface& operator=(const TInterface&) = delete;

  // A new object holds one reference, its creator's.
  virtual int AddRef();
  virtual int Release();
  virtual int GetVersion();
  // Gives up one reference, like Release.
  void Free() { Release(); }
  int RefCount() const { return FRefCount; }

protected:
  // Objects are destroyed by their last Release, never directly.
  virtual ~TInterface();

private:
  int FRefCount = 1;
};

// Holds one reference that its owner obtained (it adds none) and gives it up
// when it goes, so that every path releases it exactly once.
template <class T>
class THostRef {
public:
  THostRef() = default;
  explicit THostRef(T* AObject) : FObject(AObject) {}
  ~THostRef() { Reset(); }
  THostRef(THostRef&& O) noexcept : FObject(std::exchange(O.FObject, nullptr)) {}
  THostRef& operator=(THostRef&& O) noexcept {
    if (this != &O) {
      Reset();
      FObject = std::exchange(O.FObject, nullptr);
    }
    return *this;
  }

  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  // Hands the reference over to the caller.
  T* Detach() { return std::exchange(FObject, nullptr); }
  void Reset(T* AObject = nullptr) {
    if (T* old = std::exchange(FObject, AObject)) old->Free();
  }

private:
  T* FObject = nullptr;
};

}  // namespace Vantry

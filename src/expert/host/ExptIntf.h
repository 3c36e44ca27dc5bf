#pragma once
// Experts: what an add-in registers with the host, and how it is loaded.
//
// The host sets ToolServices, loads the add-in library (whose start-up code
// may already use ToolServices), then calls the library's one export,
// INITEXPERT0017, with its tool services and its registration procedure.

#include "expert/host/ToolIntf.h"
#include "platform/Graphics.h"

#include <string>

namespace Vantry {

enum TExpertStyle { esStandard, esForm, esProject, esAddIn };
enum TExpertStateFlag { esEnabled, esChecked };
using TExpertState = TSet<TExpertStateFlag>;

// What the host asks an expert. The host owns a registered expert and
// releases it when it no longer needs it.
class VANTRY_HOST_API TIExpert : public TInterface {
public:
  virtual std::string GetName() = 0;
  virtual std::string GetAuthor() = 0;
  virtual std::string GetComment() = 0;
  virtual std::string GetPage() = 0;
  // The caller owns the returned icon (DestroyIcon); null for none.
  virtual HICON GetGlyph() = 0;
  virtual TExpertStyle GetStyle() = 0;
  virtual TExpertState GetState() = 0;
  virtual std::string GetIDString() = 0;
  virtual std::string GetMenuText() = 0;
  virtual void Execute() = 0;

protected:
  ~TIExpert() override;
};

// The host's registration procedure: takes the expert (and its reference)
// and answers whether it did.
using TExpertRegisterProc = bool (*)(TIExpert* AExpert);
using TExpertTerminateProc = void (*)();
// The library's entry point, exported under the name in ExpertEntryPoint.
using TExpertInitProc = bool (*)(TIToolServices* AToolServices, TExpertRegisterProc ARegisterProc,
                                 TExpertTerminateProc* ATerminate);
inline constexpr const char* ExpertEntryPoint = "INITEXPERT0017";

// The host's tool services; the host sets it before it loads an add-in.
extern VANTRY_HOST_API TIToolServices* ToolServices;
// The registration procedure RegisterLibraryExpert forwards to.
extern VANTRY_HOST_API TExpertRegisterProc LibraryExpertProc;
// Hands the expert to the host; true when the host took it.
VANTRY_HOST_API bool RegisterLibraryExpert(TIExpert* AExpert);

}  // namespace Vantry

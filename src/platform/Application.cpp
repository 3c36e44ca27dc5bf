#include "platform/Application.h"

#include "platform/SysUtils.h"

#include <cstdio>

namespace Vantry {

void TApplicationServices::ShowException(TObject* ASender, const std::string& AMessage) {
  std::string sender = ASender ? std::string(ASender->ClassName()) : "error";
  std::fprintf(stderr, "%s: %s\n", sender.c_str(), AMessage.c_str());
}

void TApplicationServices::ShowMessage(const std::string& AText) { std::fprintf(stderr, "%s\n", AText.c_str()); }

bool TApplicationServices::AskYesNo(const std::string& AText) {
  std::fprintf(stderr, "%s (Yes: nobody to ask)\n", AText.c_str());
  return true;
}

namespace {
// Standard error as the user interface, where there is no other.
class TConsoleServices final : public TApplicationServices {};
constinit TConsoleServices ConsoleServices;
constinit TApplication TheApplication(&ConsoleServices);
}  // namespace

void TApplication::HandleException(TObject* ASender, std::exception_ptr AError) {
  std::string message = "An unknown error occurred.";
  try {
    if (AError) std::rethrow_exception(AError);
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  FServices->ShowException(ASender, message);
}

TApplicationServices* TApplication::SetServices(TApplicationServices* AServices) {
  TApplicationServices* previous = FServices;
  FServices = AServices ? AServices : &ConsoleServices;
  return previous;
}

TApplication& Application() { return TheApplication; }

void ShowMessage(const std::string& AText) { Application().ShowMessage(AText); }

}  // namespace Vantry

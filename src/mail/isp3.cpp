#include "mail/isp3.h"

namespace Vantry {

class TSMTPEngine {};

const TClassInfo& TSMTP::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TSMTP, TComponent>("TSMTP");
  return Info;
}

const TDocHeader& TDocHeaders::Item(int AIndex) const {
  if (AIndex < 1 || AIndex > Count()) throw EListError("Header index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[AIndex - 1];
}

const TSMTPErrorItem& TSMTPErrors::Item(int AIndex) const {
  if (AIndex < 1 || AIndex > Count()) throw EListError("Error index out of bounds (" + std::to_string(AIndex) + ")");
  return FItems[AIndex - 1];
}

TSMTP::TSMTP(TComponent* AOwner) : TComponent(AOwner) {}
TSMTP::~TSMTP() = default;

int16_t TSMTP::State() const { return stDisconnected; }
bool TSMTP::Busy() const { return false; }

void TSMTP::Connect(const std::optional<WideString>&, const std::optional<int>&) {}
void TSMTP::Disconnect() {}
void TSMTP::Verify(const WideString&) {}
void TSMTP::SendDocument(const std::optional<WideString>&, const TDocHeaders*, const std::optional<WideString>&,
                         const std::optional<WideString>&, const std::optional<WideString>&) {}

}  // namespace Vantry

// Prints what the component library's hot paths cost: applying a stored
// description with many child components, and registry reads and writes.

#include "BenchSupport.h"
#include "platform/Streaming.h"

#include <string>

using namespace Vantry;

void RunRegistryBench();

namespace {

class TBenchItem : public TComponent {
  VANTRY_CLASS(TBenchItem)

public:
  explicit TBenchItem(TComponent* AOwner) : TComponent(AOwner) {}
  std::string Caption;
  std::string Hint;
  int Context = 0;
  bool Visible = true;
  TNotifyEvent OnClick;
};

const TClassInfo& TBenchItem::StaticClass() {
  static constexpr TPropInfo Properties[] = {
      Published::String<&TBenchItem::Caption>("Caption"),
      Published::String<&TBenchItem::Hint>("Hint"),
      Published::Integer<&TBenchItem::Context>("Context"),
      Published::Boolean<&TBenchItem::Visible>("Visible"),
      Published::Event<&TBenchItem::OnClick>("OnClick"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<TBenchItem, TComponent>("TBenchItem").WithProperties(Properties);
  return Info;
}

TDescriptionData BenchDescription{"BenchModule.dfm", nullptr, 0};

class TBenchModule : public TDataModule {
  VANTRY_CLASS(TBenchModule)

public:
  explicit TBenchModule(TComponent* AOwner) : TDataModule(AOwner) {}
  void ItemClick(TObject*) {}
};

const TClassInfo& TBenchModule::StaticClass() {
  static constexpr TMethodInfo Methods[] = {Published::Method<&TBenchModule::ItemClick>("ItemClick")};
  static constexpr TClassInfo Info = ClassInfoOf<TBenchModule, TDataModule>("TBenchModule")
                                         .WithMethods(Methods)
                                         .WithDescription(&BenchDescription);
  return Info;
}

std::string DescriptionWithChildren(int ACount) {
  std::string text = "object BenchModule: TBenchModule\n";
  for (int i = 0; i < ACount; ++i) {
    std::string n = std::to_string(i);
    text += "  object Item" + n + ": TBenchItem\n    Caption = 'Item number " + n + "'\n    Hint = 'Opens item " + n +
            "'\n    Context = " + n + "\n    Visible = True\n    OnClick = ItemClick\n  end\n";
  }
  return text + "end\n";
}

void RunDescriptionBench() {
  RegisterClass(TBenchItem::StaticClass());
  static const std::string text = DescriptionWithChildren(100);
  BenchDescription.Bytes = reinterpret_cast<const unsigned char*>(text.data());
  BenchDescription.Size = text.size();
  auto timing = VantryBench::Measure(200, [] { CreateComponent<TBenchModule>(nullptr)->Free(); });
  VantryBench::Report("apply a description with 100 children (and free)", timing);
}

}  // namespace

int main() {
  RunDescriptionBench();
  RunRegistryBench();
  return 0;
}

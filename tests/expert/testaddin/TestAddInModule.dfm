object TestAddInModule: TTestAddInModule
  Author = 'Tester'
  ExpertName = 'Test Add-in'
  IDString = 'Tester.Test Add-in'
  MenuState = []
  Style = esAddIn
  OnCreate = TestAddInModuleCreate
  OnDestroy = TestAddInModuleDestroy
  object TopItem: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaBefore
    TargetName = 'FileSaveItem'
    Caption = 'Test Add-in'
    MenuItemName = 'TestAddInTopItem'
    ShortCut = 0
    Context = 0
    GroupIndex = 0
    Break = ecbtNone
    Visible = True
    Checked = False
    Enabled = True
    RadioItem = False
  end
  object FirstChild: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildFirst
    TargetName = 'TestAddInTopItem'
    Caption = 'First...'
    MenuItemName = 'TestAddInFirstChild'
    OnClick = FirstChildClick
  end
  object LastChild: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'TestAddInTopItem'
    Caption = '-'
    MenuItemName = 'TestAddInSeparator'
  end
  object Registered: TTestAddInItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'TestAddInTopItem'
    Caption = 'Registered class'
    MenuItemName = 'TestAddInRegisteredItem'
  end
end

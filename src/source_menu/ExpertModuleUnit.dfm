object VantryExpertModule: TVantryExpertModule
  Author = 'Brask'
  ExpertName = 'Orvalle Vantry'
  IDString = 'Brask.Orvalle Vantry'
  MenuState = []
  Style = esAddIn
  OnCreate = ExpertModuleCreate
  OnDestroy = ExpertModuleDestroy
  object IMIVantry: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaBefore
    TargetName = 'FileSaveItem'
    Caption = 'Vantry'
    MenuItemName = 'ovsVantryMenuItem'
    ShortCut = 0
    Context = 0
    GroupIndex = 0
    Break = ecbtNone
    Visible = True
    Checked = False
    Enabled = True
    RadioItem = False
  end
  object IMIConfiguration: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildFirst
    TargetName = 'ovsVantryMenuItem'
    Caption = 'Options...'
    MenuItemName = 'VantryConfigurationMenuItem'
    ShortCut = 0
    Context = 0
    GroupIndex = 0
    Break = ecbtNone
    Visible = True
    Checked = False
    Enabled = True
    RadioItem = False
    OnClick = IMIConfigurationClick
  end
  object ecInterfaceMenuItem1: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'ovsVantryMenuItem'
    Caption = '-'
    MenuItemName = 'OrvalleVANTRYOptionSeparatorMenuItem'
    ShortCut = 0
    Context = 0
    GroupIndex = 0
    Break = ecbtNone
    Visible = True
    Checked = False
    Enabled = True
    RadioItem = False
  end
end

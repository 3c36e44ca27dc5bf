object LibraryFinderModule: TLibraryFinderModule
  Author = 'Brask'
  ExpertName = 'Vantry Library Finder'
  IDString = 'Brask.Vantry Library Finder'
  MenuState = []
  Style = esAddIn
  OnDestroy = LibraryFinderModuleDestroy
  object IMIFinderSeparator: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = '-'
    MenuItemName = 'VantryFinderSeparatorMenuItem'
  end
  object IMIFindLibraryUnit: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Find Library Unit...'
    MenuItemName = 'VantryFindLibraryUnitMenuItem'
    ShortCut = $C055
    OnClick = IMIFindLibraryUnitClick
  end
  object IMIOpenUnitAtCursor: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Open Library Unit at Cursor'
    MenuItemName = 'VantryOpenLibraryUnitMenuItem'
    ShortCut = $400D
    OnClick = IMIOpenUnitAtCursorClick
  end
end

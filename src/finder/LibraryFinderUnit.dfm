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
  object IMIFindLibraryDeclaration: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Find Library Declaration...'
    MenuItemName = 'VantryFindLibraryDeclarationMenuItem'
    ShortCut = $C044
    OnClick = IMIFindLibraryDeclarationClick
  end
  object IMIFindDeclarationAtCursor: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Find Declaration at Cursor'
    MenuItemName = 'VantryFindDeclarationAtCursorMenuItem'
    ShortCut = $C00D
    OnClick = IMIFindDeclarationAtCursorClick
  end
end

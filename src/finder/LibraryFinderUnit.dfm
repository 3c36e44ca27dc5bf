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
  object IMIGoToRoutineHeading: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Go to Routine &Heading'
    MenuItemName = 'VantryGoToRoutineHeadingMenuItem'
    ShortCut = $6026
    OnClick = IMIGoToRoutineCounterpartClick
  end
  object IMIGoToRoutineBody: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Go to Routine Bod&y'
    MenuItemName = 'VantryGoToRoutineBodyMenuItem'
    ShortCut = $6028
    OnClick = IMIGoToRoutineCounterpartClick
  end
  object IMIFindReferences: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Find References'
    MenuItemName = 'VantryFindReferencesMenuItem'
    ShortCut = $600D
    OnClick = IMIFindReferencesClick
  end
  object IMIPeekDeclaration: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'SearchMenu'
    Caption = 'Peek Declaration'
    MenuItemName = 'VantryPeekDeclarationMenuItem'
    ShortCut = $6020
    OnClick = IMIPeekDeclarationClick
  end
  object IMIUnitOutline: TecInterfaceMenuItem
    AutomaticActivation = True
    InsertPosition = eciaChildLast
    TargetName = 'ViewMenu'
    Caption = 'Unit Outline'
    MenuItemName = 'VantryUnitOutlineMenuItem'
    ShortCut = $604F
    OnClick = IMIUnitOutlineClick
  end
end

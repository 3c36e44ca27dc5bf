object DescribedModule: TDescribedModule
  Author = 'Brask'
  ExpertName = 'Described Expert'
  IDString = 'Brask.Described Expert'
  MenuState = [esChecked]
  Style = esAddIn
  OnCreate = DescribedModuleCreate
end

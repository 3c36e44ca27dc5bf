object DescribedModule: TDescribedModule
  Author = 'Brask'
  ExpertName = 'Described Expert'
  Icon = {00000100 0100}
  IDString = 'Brask.Described Expert'
  MenuState = [esChecked]
  Style = esAddIn
  OnCreate = DescribedModuleCreate
end

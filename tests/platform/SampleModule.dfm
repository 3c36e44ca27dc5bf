// A module with one component of each kind of property.
object SampleModule: TSampleModule
  Title = 'Tests' + ' module'
  OnCreate = ModuleCreate
  object First: TTestItem
    Caption = 'It''s first'
    Count = -12
    Flag = True
    Color = tcBlue
    Options = [toBold, toUnderline]
    Lines = (
      'one'
      'two')
    Picture = {
      89504E47 0D0A1A0A
      2a}
    OnClick = ItemClick
  end
  object Second: TTestItem
    Caption = 'Second'
    Count = $10
    Options = []
  end
  Tag = 7
end

inherited SampleModule: TDerivedModule
  Title = 'Derived'
  inherited First: TTestItem
    Caption = 'Changed by the derived class'
  end
  object Third: TTestItem
    Caption = 'Third'
  end
end

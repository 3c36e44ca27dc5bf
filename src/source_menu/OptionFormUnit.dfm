object OptionsForm: TOptionsForm
  object OVS: TOVSAboutDialog
    WindowTitle = 'About'
    ProgramTitle = 'Vantry'
    ProgramTitleVisible = True
    Version = '1997'
    Year = 0
    MailAutomaticMessage = ('Vantry Expert for Delphi 3 version 1.0')
    MailTo = 'brask@orvalle.example'
  end
end

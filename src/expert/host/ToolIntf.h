#pragma once
// The host's services to add-ins: its main menu, its menu items and its
// editor, as host objects.

#include "expert/host/VirtIntf.h"
#include "platform/Application.h"
#include "platform/TypInfo.h"

#include <functional>
#include <map>
#include <string>

namespace Vantry {

// State flags of a host menu item, exchanged as one byte (bit = 1 shl ordinal).
enum TIMenuFlag { mfInvalid, mfEnabled, mfVisible, mfChecked, mfBreak, mfBarBreak, mfRadioItem };
using TIMenuFlags = TSet<TIMenuFlag>;

class TIMenuItemIntf;
// Called by the host when the user chooses an item, with the very item
// object that InsertItem returned.
using TIMenuClickEvent = std::function<void(TIMenuItemIntf* Sender)>;

// An item of the host's main menu. Every item object a call returns comes
// with one reference for the caller. Releasing the last reference on an item
// that an add-in inserted takes the item, with its children, out of the menu.
class VANTRY_HOST_API TIMenuItemIntf : public TInterface {
public:
  virtual bool DestroyMenuItem() = 0;
  virtual int GetIndex() = 0;
  virtual int GetItemCount() = 0;
  virtual TIMenuItemIntf* GetItem(int AIndex) = 0;
  virtual std::string GetName() = 0;
  virtual TIMenuItemIntf* GetParent() = 0;
  virtual std::string GetCaption() = 0;
  virtual bool SetCaption(const std::string& ACaption) = 0;
  virtual int GetShortCut() = 0;
  virtual bool SetShortCut(int AShortCut) = 0;
  virtual TIMenuFlags GetFlags() = 0;
  // Changes only the flags in AMask, to their state in AFlags.
  virtual bool SetFlags(TIMenuFlags AMask, TIMenuFlags AFlags) = 0;
  virtual int GetGroupIndex() = 0;
  virtual bool SetGroupIndex(int AGroupIndex) = 0;
  virtual std::string GetHint() = 0;
  virtual bool SetHint(const std::string& AHint) = 0;
  virtual int GetContext() = 0;
  virtual bool SetContext(int AContext) = 0;
  virtual TIMenuClickEvent GetMenuClickEvent() = 0;
  virtual bool SetMenuClickEvent(TIMenuClickEvent AHandler) = 0;
  // Inserts a child at AIndex (-1: after the last child) and returns it.
  virtual TIMenuItemIntf* InsertItem(int AIndex, const std::string& ACaption, const std::string& AName,
                                     const std::string& AHint, int AShortCut, int AContext, int AGroupIndex,
                                     TIMenuFlags AFlags, TIMenuClickEvent AEventHandler) = 0;

protected:
  ~TIMenuItemIntf() override;
};

class VANTRY_HOST_API TIMainMenuIntf : public TInterface {
public:
  // The invisible item whose children are the menu bar's menus.
  virtual TIMenuItemIntf* GetMenuItems() = 0;
  // The item of that name anywhere in the menu (names ignore case), or null.
  virtual TIMenuItemIntf* FindMenuItem(const std::string& AName) = 0;

protected:
  ~TIMainMenuIntf() override;
};

class VANTRY_HOST_API TIToolServices : public TInterface {
public:
  // The host's main window, the parent of the add-ins' dialogs.
  virtual HWND GetParentHandle() = 0;
  // The main menu; null when the host has none to give.
  virtual TIMainMenuIntf* GetMainMenu() = 0;
  // Whether the editor has the file open; paths compare as canonical paths.
  virtual bool IsFileOpen(const std::string& AFileName) = 0;
  // Opens the file in the editor and shows it.
  virtual bool OpenFile(const std::string& AFileName) = 0;
  // The identifier under the editor's cursor (or just before it) in the
  // file being edited; empty when there is none. A host without an editor
  // cursor answers empty.
  virtual std::string GetIdentifierAtCursor() { return {}; }
  // Opens the file and puts the cursor on line ALine at byte AColumn of the
  // line as the file has it (both from 1). A host that cannot place the
  // cursor opens the file.
  virtual bool OpenFileAt(const std::string& AFileName, int ALine, int AColumn) {
    (void)ALine;
    (void)AColumn;
    return OpenFile(AFileName);
  }
  // As OpenFileAt, for a file of the user's own project rather than a
  // library source: the host opens it for editing as it opens any file
  // of the user's. A host that does not tell them apart opens it as
  // OpenFileAt does.
  virtual bool OpenOwnFileAt(const std::string& AFileName, int ALine, int AColumn) {
    return OpenFileAt(AFileName, ALine, AColumn);
  }
  // The text of the file being edited, as UTF-8, and the cursor's byte
  // offset in it; false when no file is being edited (or the host cannot
  // tell).
  virtual bool GetEditorText(std::string& AText, size_t& ACursor) {
    (void)AText;
    (void)ACursor;
    return false;
  }
  // The path of the file being edited, as bytes; empty when none is (or
  // it has never been saved).
  virtual std::string GetCurrentFile() { return {}; }
  // The texts, as UTF-8, of the files open in the editor with edits not yet
  // saved, by path: what a question about the sources must read rather than
  // the files on disk. A host without an editor has none.
  virtual std::map<std::string, std::string> GetUnsavedTexts() { return {}; }
  // Shows a line of text where the IDE shows passing news (its status
  // bar); a host without one shows nothing.
  virtual void ShowStatus(const std::string& AText) { (void)AText; }

  // Called when the mouse rests half a second over the editor's text: the
  // file (may be empty), its text as UTF-8, the byte offset under the
  // mouse, and where the mouse is on the screen. An empty handler stops the
  // calls; a host without an editor never calls it.
  using THoverHandler =
      std::function<void(const std::string& APath, const std::string& AText, size_t AOffset, int AX, int AY)>;
  virtual void SetHoverHandler(THoverHandler AHandler) { (void)AHandler; }
  // Where the editor's cursor is on the screen (the bottom left of its
  // line); false when no file is being edited.
  virtual bool GetCursorPoint(int& AX, int& AY) {
    (void)AX;
    (void)AY;
    return false;
  }

protected:
  ~TIToolServices() override;
};

}  // namespace Vantry

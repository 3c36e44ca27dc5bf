#pragma once
// Stored descriptions: per class, a text that names a component, sets its
// published properties in order, creates its child components and binds its
// events to its methods, for example
//
//   object VantryExpertModule: TVantryExpertModule
//     Author = 'Brask'
//     Style = esAddIn
//     MenuState = []
//     OnCreate = ExpertModuleCreate
//     object IMIVantry: TecInterfaceMenuItem
//       Caption = 'Vantry'
//     end
//   end
//
// Values: 'strings' (a doubled '' stands for one quote), integers (decimal or
// $hex), identifiers (True, False, enumeration values, method names), sets
// [a, b], string lists ('one' 'two') and binary data in hex digits, which may
// run over several lines ({89504E47 0D0A1A0A ...}: the image of an Icon, as
// its PNG or ICO file holds it; {} is no image). Lines starting with // are
// comments.
// `inherited Name: TClass` instead of `object` changes a component that an
// ancestor's description created.

#include "platform/Classes.h"

#include <string>
#include <string_view>

namespace Vantry {

// Applies the descriptions of every class from AInstance's own class up to,
// but not including, AAncestor, the ancestors' first, then calls Loaded on
// each component read, in stream order. A class without a description is
// skipped; if none has one, EResNotFound naming the instance's class. A
// description that cannot be read raises EReadError naming its file, the line
// and the offending name. A child's class is looked up among the classes of
// the root's published fields, then among the registered classes.
void InitInheritedComponent(TComponent* AInstance, const TClassInfo& AAncestor);

}  // namespace Vantry

// Declares the description compiled from <Stem>.dfm, for the class info of the
// class it describes: ClassInfoOf<...>(...).WithDescription(&VantryDescription_<Stem>).
// Use at global scope.
#define VANTRY_DESCRIPTION(Stem) extern const ::Vantry::TDescriptionData VantryDescription_##Stem

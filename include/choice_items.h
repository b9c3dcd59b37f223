#pragma once
// Filling a choice list of thousands of entries in well under a second.
#include <wx/arrstr.h>

class wxChoice;

// Replaces all entries of choice by items, as wxChoice::Set does.
void set_choice_items(wxChoice* choice, const wxArrayString& items);

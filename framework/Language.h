// The language the wizard speaks: one of those its resources hold (English, German, French,
// Spanish, Simplified Chinese, Japanese), chosen once at start: `/lang:xx` on the command
// line, else the user's Windows display language, else English. Strings are looked up in it
// and fall back to English one by one; a program that never chooses (romflash) speaks English.
#pragma once
#include <windows.h>

// The language chosen (English until ChooseLanguage runs).
LANGID ProgramLanguage();

// Chooses from the command line's `/lang:xx` (de, en, es, fr, ja, zh; any case), else from
// GetUserDefaultUILanguage. Called once, before the first page.
void ChooseLanguage(const wchar_t* commandLine);

// The language a code such as "de" names, or 0 for none we have.
LANGID LanguageNamed(const wchar_t* code);

// String resource `id` of this program in `language`: a pointer into the resource and its
// length, or nullptr when that language does not have it.
const wchar_t* FindString(UINT id, LANGID language, int* length);

// Dialog template `id` of this program in the chosen language: a language that needs more room
// than the English has templates of its own; every other takes the English one.
const DLGTEMPLATE* FindDialogTemplate(UINT id);

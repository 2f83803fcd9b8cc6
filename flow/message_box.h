// Telling the user that the run cannot go on as meant, and waiting until it has been read;
// or, where the run goes on as it is, only telling.
#pragma once

// Shows the text on its own line; returns once the user has acknowledged it (at once when
// nobody is at a terminal to do so).
void ShowMessage(const char* text);
// Shows the text on its own line and returns at once.
void ShowNotice(const char* text);

#pragma once
// Diagnostic printers of the command language.

#include <string>

void yyerror(const char* message);
void yywarning(const char* message);
void debug(std::string message);

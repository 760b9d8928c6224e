#include "language/diagnostics.h"

#include <iostream>

#include "client/colours.h"
#include "client/console.h"

void yyerror(const char* message) {
  rest_client::ErrorLineRecord::note(message);
  std::cout << rest_client::red() << "[ERROR] " << message << rest_client::reset() << std::endl;
  std::cout << "Use COMMAND_NAME -h to find the format of a command or HELP to get the list of "
               "all valid commands"
            << std::endl;
}

void yywarning(const char* message) {
  std::cout << rest_client::yellow() << "[WARNING] " << message << rest_client::reset()
            << std::endl;
}

void debug(std::string message) {
  std::cerr << rest_client::green() << "[Orvix] " << message << rest_client::reset() << std::endl;
}

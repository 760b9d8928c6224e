#include "shell/completion_script.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include "language/vocabulary.h"

namespace {

const char* const kLeadingFlags =
    "--profile --api-url --account-url --output --ca-file --client-cert --client-key "
    "--save-key --show-config --completion --help --version";

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Words joined for a candidate list; the vocabulary's words need no quoting in a shell.
template <class Words>
std::string joined(const Words& words) {
  std::string out;
  for (const auto& word : words) {
    const std::string text(word);
    const bool plain = std::all_of(text.begin(), text.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '_' || c == '-' || c == '.';
    });
    if (!plain) throw std::logic_error("a vocabulary word a shell would split: " + text);
    out += (out.empty() ? "" : " ") + text;
  }
  return out;
}

// The shared body: the word being completed is `cur`, the one before it `prev`; `cword` is its
// index and _orvix_word N prints word N (0 is the command). _orvix_offer and _orvix_files are
// the shell's own.
std::string shared_body() {
  std::ostringstream out;
  std::vector<std::string> upper_words, lower_words;
  for (const auto& statement : statement_table()) {
    upper_words.emplace_back(statement.keyword);
    lower_words.push_back(lower(statement.keyword));
  }
  upper_words.emplace_back("HELP");
  lower_words.emplace_back("help");
  out << R"sh(_orvix_profiles() {
  local dir="${XDG_CONFIG_HOME:-}"
  case $dir in /*) ;; *) dir="$HOME/.config" ;; esac
  sed -n -e 's/^[[:space:]]*\[[[:space:]]*profile[[:space:]][[:space:]]*\([A-Za-z0-9._-][A-Za-z0-9._-]*\)[[:space:]]*\].*/\1/p' \
    -e 's/^[[:space:]]*\[[[:space:]]*default[[:space:]]*\].*/default/p' "$dir/orvix/config" 2>/dev/null
}

_orvix_complete() {
  local cur prev i statement position option
  cur=$(_orvix_word "$cword")
  prev=$(_orvix_word $((cword - 1)))
  i=1
  while [ "$i" -lt "$cword" ]; do
    case $(_orvix_word "$i") in
      --) i=$((i + 1)); break ;;
      --profile|--api-url|--account-url|--output|--ca-file|--client-cert|--client-key|--completion) i=$((i + 2)) ;;
      --*) i=$((i + 1)) ;;
      *) break ;;
    esac
  done
  if [ "$i" -ge "$cword" ]; then
    case $prev in
      --profile) _orvix_offer "$(_orvix_profiles)"; return ;;
      --output) _orvix_offer "text json"; return ;;
      --completion) _orvix_offer "bash zsh"; return ;;
      --ca-file|--client-cert|--client-key) _orvix_files; return ;;
      --api-url|--account-url) return ;;
    esac
    case $cur in
      -*) _orvix_offer ")sh"
      << kLeadingFlags << R"sh(" ;;
      [a-z]*) _orvix_offer ")sh"
      << joined(lower_words) << R"sh(" ;;
      *) _orvix_offer ")sh"
      << joined(upper_words) << R"sh(" ;;
    esac
    return
  fi
  statement=$(_orvix_word "$i" | tr '[:lower:]' '[:upper:]')
  position=$((cword - i - 1))
  option=$(printf '%s' "$prev" | tr '[:upper:]' '[:lower:]')
  case $option in -*) option=${option#-}; option=${option#-} ;; *) option= ;; esac
  case $statement in
)sh";
  for (const auto& statement : statement_table()) {
    out << "    " << statement.keyword << ")\n";
    std::ostringstream options;
    std::vector<std::string> typed_options;
    for (const OptionDef* found : statement_options(statement)) {
      const std::string name = found->name;
      typed_options.push_back("--" + name);
      if (found->file) {
        options << "        " << name << ") _orvix_files; return ;;\n";
      } else if (!found->values.empty()) {
        options << "        " << name << ") _orvix_offer \"" << joined(found->values)
                << "\"; return ;;\n";
      }
    }
    if (!options.str().empty()) out << "      case $option in\n" << options.str() << "      esac\n";
    std::ostringstream arguments;
    for (std::size_t a = 0; a < statement.arguments.size(); ++a) {
      const ArgumentDef& argument = statement.arguments[a];
      if (argument.file) {
        arguments << "        " << a << ") _orvix_files; return ;;\n";
      } else if (!argument.values.empty()) {
        arguments << "        " << a << ") _orvix_offer \"" << joined(argument.values)
                  << "\"; return ;;\n";
      }
    }
    if (!arguments.str().empty()) {
      out << "      case $position in\n" << arguments.str() << "      esac\n";
    }
    typed_options.push_back("-h");
    out << "      case $cur in -*) _orvix_offer \"" << joined(typed_options) << "\" ;; esac\n"
        << "      ;;\n";
  }
  out << "  esac\n}\n";
  return out.str();
}

}  // namespace

std::string completion_script(const std::string& shell) {
  if (shell == "bash") {
    return R"sh(# orvix completion for bash, made by `orvix --completion bash`.
# Install: orvix --completion bash > ~/.local/share/bash-completion/completions/orvix
# The line is split at blanks alone (bash's own words also break at ':' and '=', as in URLs).
_orvix_word() { printf '%s' "${_orvix_words[$1]}"; }
_orvix_offer() {
  local IFS=$' \t\n'
  COMPREPLY=($(compgen -W "$1" -- "$cur"))
}
_orvix_files() {
  local IFS=$'\n'
  COMPREPLY=($(compgen -f -- "$cur"))
  compopt -o filenames 2>/dev/null
}
_orvix() {
  local line="${COMP_LINE:0:COMP_POINT}"
  local -a _orvix_words
  read -ra _orvix_words <<< "$line"
  case $line in *[[:space:]]|'') _orvix_words+=("") ;; esac
  local cword=$((${#_orvix_words[@]} - 1))
  COMPREPLY=()
  _orvix_complete
}
)sh" + shared_body() +
           "complete -F _orvix orvix\n";
  }
  if (shell == "zsh") {
    return R"sh(#compdef orvix
# orvix completion for zsh, made by `orvix --completion zsh`.
# Install: orvix --completion zsh > "${fpath[1]}/_orvix" (then compinit), or source it.
_orvix_word() { printf '%s' "${words[$(($1 + 1))]}"; }
_orvix_offer() {
  local -a found
  found=(${=1})
  compadd -a found
}
_orvix_files() { _files; }
)sh" + shared_body() +
           R"sh(_orvix() {
  local cword=$((CURRENT - 1))
  _orvix_complete
}
if [ "${funcstack[1]}" = _orvix ]; then
  _orvix "$@"
else
  compdef _orvix orvix
fi
)sh";
  }
  throw std::invalid_argument("no completion for " + shell);
}

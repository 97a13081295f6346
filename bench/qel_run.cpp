// qel-run: runs a Qel script through the real start-up sequence, for the
// benchmarks (bench/run.sh) until the console runs scripts itself.
//
//   qel-run FILE.qel
//
// The text after the script's "Qel [...]" header is evaluated; an error
// prints its report and ends the run with status -2 (254), as an uncaught
// error does.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/startup.h"
#include "datatypes/block.h"

namespace {

std::string source;

void run_script() {
  using namespace qel;
  Cell* code = stack::push_slot();
  set_none(code);
  lexer::ScanOptions options;
  lexer::scan(code, reinterpret_cast<const uint8_t*>(source.data()),
              static_cast<uint32_t>(source.size()), options);
  // Skip the header: the word Qel and the block after it.
  Cell body = *code;
  if (block::rs_length_q(&body) >= 2) body.set_head(body.head() + 2);
  interpreter::eval(&body, interpreter::Chain::no);
  output::flush();
  runtime::quit_return(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel-run FILE.qel\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", argv[1]);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  source = text.str();
  size_t at = source.find("Qel [");
  if (at != std::string::npos) source = source.substr(at);
  static char* session_argv[] = {argv[0], nullptr};
  qel::startup::run(1, session_argv, run_script);
}

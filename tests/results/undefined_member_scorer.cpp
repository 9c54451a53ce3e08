// A component whose Put is declared and never defined, as a copied README snippet without bodies
// once was: it builds, and the loader refuses it for an undefined symbol.
#include <string>

#include "vardenix/component.h"

struct UndefinedScorer {
  void Put(const std::string& member, const vx::Value& value);
  vx::Value Read(const std::string&) { return vx::Value::R4(100); }
};

static const vx_class kClasses[] = {vx::MakeClass<UndefinedScorer>("Vardenix.Test.Undefined")};
VX_DEFINE_MODULE(kClasses)

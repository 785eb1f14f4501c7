#pragma once
// brivane._engine.fit_many: many spectra against one model in one call, without the interpreter
// lock, on the oneTBB pool (model/batch.hpp).

#include "bindings/call_frame.hpp"
#include "bindings/signature.hpp"

namespace brivane::py {

inline constexpr Signature kFitMany = signature("fit_many", Lock::kReleased, {
    {"x", kArray}, {"counts", kArray}, {"width", kArray}, {"kind", kArray}, {"first", kArray},
    {"count", kArray}, {"aux", kArray}, {"role", kArray}, {"value", kArray}, {"lower", kArray},
    {"upper", kArray}, {"source", kArray}, {"scale", kArray}, {"offset", kArray}, {"starts", kArray},
    {"max_iter", kCount}, {"tolerance", kFloat}, {"neighbour_columns", kCount, "0"}, {"threads", kCount, "0"},
    {"keep_expected", kBool, "False"}, {"rows", kOptionalRows, "None"}});

PyObject* fit_many(Arguments<kFitMany>& a);

}  // namespace brivane::py

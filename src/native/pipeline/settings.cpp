// Extractor settings: the second phase of __init__.  Every argument has been
// converted and checked by the parser before this runs, so a failed call
// never leaves the instance half-updated.
#include "module/color_extractor.hpp"

namespace chromalens {

void init_settings(Extractor* self, const Args& args) {
    self->n_colors = args.int32("n_colors");
    PyObject* algorithm = args["algorithm"].ptr();
    Py_INCREF(algorithm);
    Py_SETREF(self->algorithm, algorithm);
    self->preprocessing = args.flag("preprocessing");
    self->lab_space = args.flag("lab_space");
}

}  // namespace chromalens

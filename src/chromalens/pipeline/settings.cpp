// Extractor settings: the second phase of __init__.  Every argument has been
// converted and checked by the parser before this runs, so a failed call
// never leaves the instance half-updated.
#include "color_extractor.hpp"

namespace chromalens {

void init_settings(Extractor* self, const Args& args) {
    self->n_colors = args.i32[0];
    Py_INCREF(args.obj[1]);
    Py_SETREF(self->algorithm, args.obj[1]);
    self->preprocessing = args.flag[2];
    self->lab_space = args.flag[3];
}

}  // namespace chromalens

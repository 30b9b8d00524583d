// Every stage of a reduction, for the library's runs and the tests that
// hold the stages to their results one by one.
#ifndef PELKARO_STAGES_H
#define PELKARO_STAGES_H

#include "ave_data.h"
#include "beam_meas.h"
#include "file_out.h"
#include "held_image.h"
#include "mask_gen.h"
#include "parse_in.h"
#include "read_sans.h"
#include "sens_cor.h"
#include "sub_data.h"

#endif

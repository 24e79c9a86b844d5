// Between the .pdsc reader and the sequence parser: a sequence element's XML
// body becomes nodes, debug variables' text becomes values.
#pragma once

#include <pugixml.hpp>

#include "target/pdsc.h"

// The block node of a `sequence` or `control` element's body (block and
// control children), from the sequence's pool; null when the pool is full.
SeqNode* parse_sequence_node(const pugi::xml_node& elem, PdscSequence* seq, int depth);
// `__var name = value;` statements of a debugvars element's text, into dev.
void parse_debugvars_text(const char* text, PdscDevice* dev);

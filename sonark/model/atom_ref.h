#pragma once

#include <sonark/model/audio_atom.h>
#include <tarnell/ref_handle.h>

// One reference of an atom, released with DeleteAtom when the handle goes.
template <class T = CAudioAtom>
using AtomRef = RefHandle<T, CAudioAtom, &DeleteAtom>;

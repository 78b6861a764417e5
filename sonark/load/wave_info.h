#pragma once

#include <sonark/visibility.h>
#include <sonark/load/music_info.h>

class CRIFF;

// Reads the music information of a wave file from its "INFO" list into `info`: "INAM" title,
// "IART" artist, "IALB" album, "ICMT" comment, "ICOP" copyright, "IENG" encoder, "ICRD" year
// (1000-3000, else 0), "IGNR" genre ("(n)" or a known genre name sets the genre index),
// "ITRK" track and total ("5/12" or "5"; values outside 1-99 become -1), "IMCD" CD identifier
// (a 4-byte length, then the bytes). Album and track also come from "IPRD" and "IPRT", as other
// writers store them, when "IALB" and "ITRK" do not give them. Each item found sets the tag
// type to the wave INFO list.
// `riff` must hold an opened wave form; its cursor is moved and left at the form level.
// Returns 1 when at least one item was found, else 0 (the fields found so far stay).
SONARK_API int ReadWaveMusicInfo(CRIFF* riff, TMusicInfo* info);

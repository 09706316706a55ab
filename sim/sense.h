/* Sense data in words: sense keys and additional sense codes and qualifiers as a table, the
 * rules for the ranges left reserved or vendor specific, and which error codes of the program
 * carry sense bytes in their detail. Shared by the launcher and the diagnosis log simulator;
 * no state, any thread. */
#pragma once
#include <stddef.h>
#include <stdint.h>

enum : size_t { SENSE_TEXT_LEN = 160 };

/* What a failure tells of the sense: a part the detail bytes do not carry is unknown. */
struct SenseBytes {
    uint8_t key, asc, ascq;
    uint8_t hasKey, hasAsc, hasAscq;
};

/* sense.cpp */
/* Name of a sense key ("NOT READY"); "unknown sense key 0x1F" style text for a key beyond 0x0F. */
void SenseKeyText(uint8_t key, char *out, size_t len);
/* Text of an additional sense code and qualifier: the table, then the ranges with a counter in
 * the qualifier, then vendor specific (0x80 to 0xFF) and reserved codes, which name their bytes
 * in hex and say "unknown" when the standard gives them no meaning. */
void SenseCodeText(uint8_t asc, uint8_t ascq, char *out, size_t len);
/* The whole line for what is known: "02/04/01 NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING
 * READY"; a part not carried shows as "--". */
void SenseText(const SenseBytes &s, char *out, size_t len);
/* The sense carried by the detail bytes of an error code (routine byte << 8 | step); 0 when the
 * code carries none. The program's sense checks stop at the first byte that is not 0 and put it
 * into detail byte 0, so the bytes before it are known to be 0 and those after it unknown. */
int SenseOfError(uint16_t code, const uint8_t *detail, SenseBytes *out);

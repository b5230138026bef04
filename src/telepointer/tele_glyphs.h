#pragma once
// The 20 telepointer glyphs: 25 by 25 X bitmaps (least significant bit first, rows of 4 bytes),
// one per style 1 to 5 and direction up-left, up-right, down-right, down-left.

extern const unsigned char tp01UL_bits[100], tp01UR_bits[100], tp01DR_bits[100], tp01DL_bits[100];
extern const unsigned char tp02UL_bits[100], tp02UR_bits[100], tp02DR_bits[100], tp02DL_bits[100];
extern const unsigned char tp03UL_bits[100], tp03UR_bits[100], tp03DR_bits[100], tp03DL_bits[100];
extern const unsigned char tp04UL_bits[100], tp04UR_bits[100], tp04DR_bits[100], tp04DL_bits[100];
extern const unsigned char tp05UL_bits[100], tp05UR_bits[100], tp05DR_bits[100], tp05DL_bits[100];

// All 20 at index (style - 1) * 4 + direction (0 up-left to 3 down-left).
extern const unsigned char *const tele_bits[20];

/* The floor for Authenticate and Update: a whole process that does nothing
 * but one Argon2id hash with the program's settings (m=19456 KiB, t=2, p=1,
 * 16-byte salt, 32-byte output) through libsodium. */
#include <sodium.h>

int main(void) {
  static const char password[] = "correct horse battery staple";
  unsigned char salt[crypto_pwhash_SALTBYTES];
  unsigned char out[32];
  if (sodium_init() < 0) return 1;
  randombytes_buf(salt, sizeof salt);
  if (crypto_pwhash(out, sizeof out, password, sizeof password - 1, salt, 2, 19456UL * 1024UL,
                    crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return 1;
  }
  sodium_memzero(out, sizeof out);
  return 0;
}

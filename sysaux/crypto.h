// AES-CBC file encryption in the salted format of OpenSSL's enc command.
#ifndef SYSAUX_CRYPTO_H
#define SYSAUX_CRYPTO_H

#include <openssl/evp.h>

#ifndef SYSAUX_API
#define SYSAUX_API __attribute__((visibility("default")))
#endif

extern "C" {

// Encrypts the file at input into output: "Salted__", the 8 salt bytes, then
// the AES-CBC ciphertext with PKCS#7 padding; key and IV from EVP_BytesToKey
// with MD5 and one iteration. The input must be a regular file. The output is
// written where it is (a link's target, a device); false when it cannot be
// opened or a write or its close fails, which may leave it partly written. Given
// the input's own file as output, it is overwritten, then cut to the new length;
// a failed write puts the input's bytes back. A missing input, or one of
// 1,048,576 bytes or more, gives false before the output is opened; a FIFO
// output gives false without waiting for a reader and nothing is written.
// Calls on one input file, by whatever path, run one after another from the
// read to the end of the write (another process's calls too, on Linux).
// A null password is the empty password; a null salt or path is refused.
SYSAUX_API bool EncryptAesXXXCbc(const char* input, const char* output,
                                 const char* password, unsigned char* salt,
                                 const EVP_CIPHER* cipher);
SYSAUX_API bool EncryptAes128Cbc(const char* input, const char* output,
                                 const char* password, unsigned char* salt);
SYSAUX_API bool EncryptAes256Cbc(const char* input, const char* output,
                                 const char* password, unsigned char* salt);

}  // extern "C"

#endif  // SYSAUX_CRYPTO_H

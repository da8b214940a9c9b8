package com.tavindo.util.crypto;

/**
 * File encryption in OpenSSL's salted format (key and IV by EVP_BytesToKey with MD5,
 * one iteration), implemented by the native library sysaux.
 */
public final class CryptoUtil {
    private CryptoUtil() {}

    /**
     * Encrypts the file input into output with AES-128-CBC. The salt must hold at least
     * 8 bytes; only the first 8 are used. Returns true when output was written whole;
     * false may leave it partly written, except that the input's own file keeps its bytes.
     * Returns false, writing nothing, when input is missing or not a regular file, or holds
     * 1,048,576 bytes or more. Output the same file as input is overwritten in place and then
     * cut to the encryption's length. A crash during the write leaves output partly written;
     * in place, that is new bytes followed by the old ones.
     */
    public static native boolean encryptAes128Cbc0(String input, String output, String password, byte[] salt);

    /** As {@link #encryptAes128Cbc0} with AES-256-CBC. */
    public static native boolean encryptAes256Cbc0(String input, String output, String password, byte[] salt);
}

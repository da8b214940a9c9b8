package com.tavindo.util.crypto;

/**
 * One encryption in a JVM of its own, for calls that need other rights than the test's:
 * arguments input and output; prints "result=" and the method's result.
 */
public final class CryptoChild {
    private CryptoChild() {}

    public static void main(String[] args) {
        System.load(System.getProperty("sysaux.lib"));
        byte[] salt = {1, 2, 3, 4, 5, 6, 7, 8};
        System.out.println("result=" + CryptoUtil.encryptAes128Cbc0(args[0], args[1], "pw", salt));
    }
}

package com.tavindo.test;

/** Static fields that native tests reach by name. */
public final class JniFields {
    public static int level = 3;
    public static byte mode = 1;
    public static long wide = 5L;

    /** A nested class, named with '$' from native code. */
    public static final class Inner {
        public static int depth = 9;

        private Inner() {
        }
    }

    private JniFields() {
    }
}

package com.tavindo.util.crypto;

import com.tavindo.test.Check;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Random;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** Encrypts through the native library and decrypts every output with the openssl tool. */
public final class CryptoUtilTest {
    private static final int MAX_INPUT = 1048575;
    private static final byte[] SALT = {0x01, 0x23, 0x45, 0x67, (byte) 0x89, (byte) 0xAB, (byte) 0xCD, (byte) 0xEF};
    private static final String PASSWORD = "open sesame!";

    private interface Encrypt {
        boolean run(String input, String output, String password, byte[] salt);
    }

    private enum Cipher {
        AES128("-aes-128-cbc", CryptoUtil::encryptAes128Cbc0),
        AES256("-aes-256-cbc", CryptoUtil::encryptAes256Cbc0);

        final String flag;
        final Encrypt encrypt;

        Cipher(String flag, Encrypt encrypt) {
            this.flag = flag;
            this.encrypt = encrypt;
        }
    }

    private static Path root;
    private static final Random random = new Random(20240601);

    private CryptoUtilTest() {}

    public static void main(String[] args) throws Exception {
        Check.load("sysaux.lib");
        root = Files.createTempDirectory("cryptoutil");
        try {
            Check.group("round trip through openssl", CryptoUtilTest::roundTrip);
            Check.group("same inputs give the same bytes", CryptoUtilTest::deterministic);
            Check.group("salt beyond 8 bytes and null password", CryptoUtilTest::saltAndPassword);
            Check.group("refused calls leave files alone", CryptoUtilTest::refusals);
            Check.group("output replaced whole", CryptoUtilTest::replacement);
            Check.group("failed write keeps the old file", CryptoUtilTest::failedWrite);
            Check.group("concurrent calls on one output", CryptoUtilTest::concurrent);
        } finally {
            deleteTree(root);
        }
        Check.finish();
    }

    private static void roundTrip() throws Exception {
        int[] sizes = {0, 1, 15, 16, 17, 4099, MAX_INPUT};
        for (Cipher c : Cipher.values()) {
            for (int n : sizes) {
                String what = c + " n=" + n;
                Path dir = newDir();
                Path in = Files.write(dir.resolve("in"), randomBytes(n));
                Path out = dir.resolve("out.enc");
                Check.isTrue(what + " result", c.encrypt.run(in.toString(), out.toString(), PASSWORD, SALT));
                byte[] enc = Files.readAllBytes(out);
                Check.equal(what + " length", 32 + 16 * (n / 16), enc.length);
                Check.equalBytes(what + " header", header(SALT), Arrays.copyOf(enc, 16));
                Check.equalBytes(what + " decrypted", Files.readAllBytes(in), decrypt(c, PASSWORD, out));
            }
        }
    }

    private static void deterministic() throws Exception {
        Path dir = newDir();
        Path in = Files.write(dir.resolve("in"), randomBytes(1000));
        byte[][] first = new byte[2][];
        for (Cipher c : Cipher.values()) {
            byte[] a = encryptToBytes(c, in, PASSWORD, SALT);
            byte[] b = encryptToBytes(c, in, PASSWORD, SALT);
            Check.equalBytes(c + " repeated call", a, b);
            byte[] otherSalt = SALT.clone();
            otherSalt[7] ^= 1;
            Check.isTrue(c + " salt enters the key", !Arrays.equals(a, encryptToBytes(c, in, PASSWORD, otherSalt)));
            first[c.ordinal()] = a;
        }
        Check.equal("128 and 256 lengths", first[0].length, first[1].length);
        Check.isTrue("128 and 256 differ", !Arrays.equals(first[0], first[1]));
    }

    private static void saltAndPassword() throws Exception {
        Path dir = newDir();
        Path in = Files.write(dir.resolve("in"), randomBytes(100));
        byte[] longSalt = Arrays.copyOf(SALT, 20);
        Arrays.fill(longSalt, 8, 20, (byte) 0x5A);
        for (Cipher c : Cipher.values()) {
            byte[] plain = encryptToBytes(c, in, PASSWORD, SALT);
            Check.equalBytes(c + " long salt uses its first 8 bytes", plain, encryptToBytes(c, in, PASSWORD, longSalt));

            Path out = dir.resolve("nullpw.enc");
            Check.isTrue(c + " null password", c.encrypt.run(in.toString(), out.toString(), null, SALT));
            Check.equalBytes(c + " null password is the empty one", encryptToBytes(c, in, "", SALT), Files.readAllBytes(out));
            Check.equalBytes(c + " null password decrypts with empty pass", Files.readAllBytes(in), decrypt(c, "", out));
        }
    }

    /** One call that must return false and leave the directory exactly as it was. */
    private static final class Refusal {
        final String name;
        final String input;
        final String output;
        final byte[] salt;

        Refusal(String name, String input, String output, byte[] salt) {
            this.name = name;
            this.input = input;
            this.output = output;
            this.salt = salt;
        }
    }

    private static void refusals() throws Exception {
        for (Cipher c : Cipher.values()) {
            Path dir = newDir();
            String good = Files.write(dir.resolve("in"), randomBytes(100)).toString();
            String big = Files.write(dir.resolve("big"), randomBytes(MAX_INPUT + 1)).toString();
            String old = Files.write(dir.resolve("old.enc"), "previous".getBytes(StandardCharsets.US_ASCII)).toString();
            String fresh = dir.resolve("fresh.enc").toString();
            Path sub = Files.createDirectory(dir.resolve("sub"));
            String regular = Files.write(dir.resolve("regular"), new byte[1]).toString();

            List<Refusal> cases = new ArrayList<>();
            cases.add(new Refusal("null salt", good, old, null));
            cases.add(new Refusal("empty salt", good, old, new byte[0]));
            cases.add(new Refusal("salt of 7 bytes", good, old, Arrays.copyOf(SALT, 7)));
            cases.add(new Refusal("missing input", dir.resolve("missing").toString(), old, SALT));
            cases.add(new Refusal("missing input, new output", dir.resolve("missing").toString(), fresh, SALT));
            cases.add(new Refusal("empty input path", "", old, SALT));
            cases.add(new Refusal("null input path", null, old, SALT));
            cases.add(new Refusal("directory as input", sub.toString(), old, SALT));
            cases.add(new Refusal("input over the limit", big, old, SALT));
            cases.add(new Refusal("input over the limit, new output", big, fresh, SALT));
            cases.add(new Refusal("empty output path", good, "", SALT));
            cases.add(new Refusal("null output path", good, null, SALT));
            cases.add(new Refusal("output under a regular file", good, regular + "/out.enc", SALT));
            cases.add(new Refusal("directory as output", good, sub.toString(), SALT));
            // Files whose size does not match their content: a short read, and more bytes than the size.
            Path sysfs = Path.of("/sys/devices/system/cpu/possible");  // reports 4096 bytes, holds a few
            if (Files.isReadable(sysfs) && Files.size(sysfs) > 100) {
                cases.add(new Refusal("short read", sysfs.toString(), old, SALT));
            } else {
                System.out.println("note: no sysfs file to show a short read");
            }
            cases.add(new Refusal("content beyond the size", "/proc/self/status", old, SALT));

            List<String> before = listing(dir);
            for (Refusal r : cases) {
                String what = c + " " + r.name;
                Check.isTrue(what + " returns false", !c.encrypt.run(r.input, r.output, PASSWORD, r.salt));
                Check.equal(what + " leaves the files", before, listing(dir));
                Check.equal(what + " keeps the old output", "previous",
                        new String(Files.readAllBytes(Path.of(old)), StandardCharsets.US_ASCII));
            }
        }
    }

    private static void replacement() throws Exception {
        for (Cipher c : Cipher.values()) {
            Path dir = newDir();
            byte[] data = randomBytes(5000);
            Path file = Files.write(dir.resolve("file"), data);
            Check.isTrue(c + " same path", c.encrypt.run(file.toString(), file.toString(), PASSWORD, SALT));
            Check.equalBytes(c + " same path decrypts", data, decrypt(c, PASSWORD, file));

            Path in = Files.write(dir.resolve("small"), randomBytes(17));
            Path out = Files.write(dir.resolve("out.enc"), randomBytes(100000));
            Files.setPosixFilePermissions(out, PosixFilePermissions.fromString("rw-r-----"));
            Check.isTrue(c + " over a longer file", c.encrypt.run(in.toString(), out.toString(), PASSWORD, SALT));
            Check.equal(c + " no tail of the old file", 48L, Files.size(out));
            Check.equalBytes(c + " over a longer file decrypts", Files.readAllBytes(in), decrypt(c, PASSWORD, out));
            Check.equal(c + " permissions kept", "rw-r-----",
                    PosixFilePermissions.toString(Files.getPosixFilePermissions(out)));
            Check.equal(c + " no temporary files", List.of("file", "out.enc", "small"), listing(dir));
        }
    }

    // A file size limit on this JVM makes the write of a 300 KB output fail part way.
    private static void failedWrite() throws Exception {
        Path dir = newDir();
        byte[] data = randomBytes(300000);
        Path file = Files.write(dir.resolve("file"), data);
        Path in = Files.write(dir.resolve("in"), data);
        byte[] oldOut = randomBytes(1000);
        Path out = Files.write(dir.resolve("out.enc"), oldOut);
        String soft = prlimit("--output=SOFT", "--noheadings", "--raw").trim();
        prlimit("--fsize=" + 100000 + ":");
        try {
            for (Cipher c : Cipher.values()) {
                Check.isTrue(c + " same path fails", !c.encrypt.run(file.toString(), file.toString(), PASSWORD, SALT));
                Check.equalBytes(c + " same path untouched", data, Files.readAllBytes(file));
                Check.isTrue(c + " new output fails", !c.encrypt.run(in.toString(), out.toString(), PASSWORD, SALT));
                Check.equalBytes(c + " old output untouched", oldOut, Files.readAllBytes(out));
            }
        } finally {
            prlimit("--fsize=" + soft + ":");
        }
        Check.equal("no temporary files", List.of("file", "in", "out.enc"), listing(dir));
        Check.isTrue("works again without the limit",
                Cipher.AES128.encrypt.run(file.toString(), file.toString(), PASSWORD, SALT));
        Check.equalBytes("and decrypts", data, decrypt(Cipher.AES128, PASSWORD, file));
    }

    private static void concurrent() throws Exception {
        Path dir = newDir();
        Path out = dir.resolve("out.enc");
        int threads = 4;
        List<byte[]> inputs = new ArrayList<>();
        List<String> names = new ArrayList<>();
        boolean[] ok = new boolean[threads];
        Thread[] workers = new Thread[threads];
        for (int t = 0; t < threads; t++) {
            inputs.add(randomBytes(20000 + t));
            Path in = Files.write(dir.resolve("in" + t), inputs.get(t));
            names.add(in.getFileName().toString());
            int index = t;
            workers[t] = new Thread(() -> {
                boolean all = true;
                for (int i = 0; i < 10; i++) {
                    all &= CryptoUtil.encryptAes256Cbc0(in.toString(), out.toString(), PASSWORD, SALT);
                }
                ok[index] = all;
            });
            workers[t].start();
        }
        for (int t = 0; t < threads; t++) {
            workers[t].join(120000);
            Check.isTrue("worker " + t + " ended", !workers[t].isAlive());
            Check.isTrue("worker " + t + " succeeded", ok[t]);
        }
        byte[] plain = decrypt(Cipher.AES256, PASSWORD, out);
        Check.isTrue("output is one whole input", inputs.stream().anyMatch(b -> Arrays.equals(b, plain)));
        names.add("out.enc");
        Check.equal("no temporary files", new ArrayList<>(new TreeSet<>(names)), listing(dir));
    }

    private static byte[] encryptToBytes(Cipher c, Path in, String password, byte[] salt) throws IOException {
        Path out = Files.createTempFile(in.getParent(), "enc", ".bin");
        Check.isTrue(c + " encrypt " + in.getFileName(), c.encrypt.run(in.toString(), out.toString(), password, salt));
        byte[] bytes = Files.readAllBytes(out);
        Files.delete(out);
        return bytes;
    }

    /** Plain bytes from `openssl enc -d`, or null when it fails. */
    private static byte[] decrypt(Cipher c, String password, Path file) throws Exception {
        Path tmp = Files.createTempDirectory(root, "dec");
        Path plain = tmp.resolve("plain");
        Path err = tmp.resolve("err");
        Process p = new ProcessBuilder("openssl", "enc", "-d", c.flag, "-md", "md5", "-pass", "pass:" + password,
                "-in", file.toString(), "-out", plain.toString())
                .redirectOutput(tmp.resolve("stdout").toFile()).redirectError(err.toFile()).start();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IllegalStateException("openssl did not finish");
        }
        byte[] result = null;
        if (p.exitValue() == 0) {
            result = Files.readAllBytes(plain);
        } else {
            System.out.println("openssl failed: " + Files.readString(err));
        }
        deleteTree(tmp);
        return result;
    }

    /** Runs prlimit on this JVM's own process and gives its output. */
    private static String prlimit(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("prlimit", "--pid", Long.toString(ProcessHandle.current().pid())));
        cmd.addAll(List.of(args));
        if (args[0].startsWith("--output")) {
            cmd.add("--fsize");
        }
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String text = new String(p.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
        if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0) {
            p.destroyForcibly();
            throw new IllegalStateException("prlimit " + cmd + " failed: " + text);
        }
        return text;
    }

    private static byte[] header(byte[] salt) {
        byte[] h = Arrays.copyOf("Salted__".getBytes(StandardCharsets.US_ASCII), 16);
        System.arraycopy(salt, 0, h, 8, 8);
        return h;
    }

    private static byte[] randomBytes(int n) {
        byte[] b = new byte[n];
        random.nextBytes(b);
        return b;
    }

    private static int dirCount;

    private static Path newDir() throws IOException {
        return Files.createDirectory(root.resolve("case" + dirCount++));
    }

    /** Sorted names below dir, so an extra or missing file shows. */
    private static List<String> listing(Path dir) throws IOException {
        try (Stream<Path> s = Files.walk(dir)) {
            List<String> names = new ArrayList<>();
            s.filter(p -> !p.equals(dir)).sorted().forEach(p -> names.add(dir.relativize(p).toString()));
            return names;
        }
    }

    private static void deleteTree(Path dir) throws IOException {
        try (Stream<Path> s = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) s.sorted(Comparator.reverseOrder())::iterator) {
                Files.delete(p);
            }
        }
    }
}

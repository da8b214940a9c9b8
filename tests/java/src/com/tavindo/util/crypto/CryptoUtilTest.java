package com.tavindo.util.crypto;

import com.tavindo.test.Check;
import com.tavindo.test.ChildProcess;

import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
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
            Check.group("FIFO input refused without waiting", CryptoUtilTest::fifoInput);
            Check.group("FIFO output refused without waiting", CryptoUtilTest::fifoOutput);
            Check.group("output replaced whole", CryptoUtilTest::replacement);
            Check.group("output written where it is", CryptoUtilTest::outputWhereItIs);
            Check.group("read-only output refused", CryptoUtilTest::readOnlyOutput);
            Check.group("failed write reported, input kept", CryptoUtilTest::failedWrite);
            Check.group("many calls into one directory", CryptoUtilTest::manyThreads);
        } finally {
            ChildProcess.deleteTree(root);
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
            String device = Files.createSymbolicLink(dir.resolve("device"), Path.of("/dev/null")).toString();

            List<Refusal> cases = new ArrayList<>();
            cases.add(new Refusal("null salt", good, old, null));
            cases.add(new Refusal("empty salt", good, old, new byte[0]));
            cases.add(new Refusal("salt of 7 bytes", good, old, Arrays.copyOf(SALT, 7)));
            cases.add(new Refusal("missing input", dir.resolve("missing").toString(), old, SALT));
            cases.add(new Refusal("missing input, new output", dir.resolve("missing").toString(), fresh, SALT));
            cases.add(new Refusal("empty input path", "", old, SALT));
            cases.add(new Refusal("null input path", null, old, SALT));
            cases.add(new Refusal("directory as input", sub.toString(), old, SALT));
            cases.add(new Refusal("device as input", device, old, SALT));
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

    // Opening a FIFO for reading would wait for a writer; the call must refuse it first.
    private static void fifoInput() throws Exception {
        Path dir = newDir();
        Path fifo = dir.resolve("fifo");
        Check.equal("mkfifo exit", 0, run(List.of("mkfifo", fifo.toString())).exit);
        Path out = dir.resolve("out.enc");
        boolean[] result = {true};
        Thread t = new Thread(() -> result[0] = CryptoUtil.encryptAes128Cbc0(fifo.toString(), out.toString(),
                PASSWORD, SALT));
        t.start();
        t.join(30000);
        boolean returned = !t.isAlive();
        if (!returned) {
            // Release the waiting call: a writer that opens and closes the FIFO.
            new FileOutputStream(fifo.toFile()).close();
            t.join(30000);
        }
        Check.isTrue("FIFO input returns without a writer", returned);
        Check.isTrue("FIFO input refused", !result[0]);
        Check.equal("FIFO input writes nothing", List.of("fifo"), listing(dir));
    }

    // Opening a FIFO for writing would wait for a reader; the call must refuse it without one.
    private static void fifoOutput() throws Exception {
        Path dir = newDir();
        Path in = Files.write(dir.resolve("in"), randomBytes(100));
        Path fifo = dir.resolve("fifo");
        Check.equal("mkfifo exit", 0, run(List.of("mkfifo", fifo.toString())).exit);
        boolean[] result = {true};
        Thread t = new Thread(() -> result[0] = CryptoUtil.encryptAes128Cbc0(in.toString(), fifo.toString(),
                PASSWORD, SALT));
        t.start();
        t.join(30000);
        boolean returned = !t.isAlive();
        if (!returned) {
            // Release the waiting call: a reader that drains the FIFO until the call ends.
            try (FileInputStream reader = new FileInputStream(fifo.toFile())) {
                byte[] buf = new byte[4096];
                while (reader.read(buf) >= 0) {
                    // drained until the writer closes
                }
            }
            t.join(30000);
        }
        Check.isTrue("FIFO output returns without a reader", returned);
        Check.isTrue("FIFO output refused", !result[0]);
        Check.equal("FIFO output makes no file", List.of("fifo", "in"), listing(dir));
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

    // The output path is written through, not replaced: a link's target, the file behind all
    // of its hard links, a device.
    private static void outputWhereItIs() throws Exception {
        for (Cipher c : Cipher.values()) {
            Path dir = newDir();
            byte[] data = randomBytes(3000);
            Path in = Files.write(dir.resolve("in"), data);
            Path target = Files.write(dir.resolve("target.enc"), randomBytes(10));
            Path link = Files.createSymbolicLink(dir.resolve("link.enc"), target.getFileName());
            Check.isTrue(c + " through a link", c.encrypt.run(in.toString(), link.toString(), PASSWORD, SALT));
            Check.isTrue(c + " link kept", Files.isSymbolicLink(link));
            Check.equalBytes(c + " link target decrypts", data, decrypt(c, PASSWORD, target));

            Path other = Files.createLink(dir.resolve("other.enc"), target);
            byte[] data2 = randomBytes(500);
            Path in2 = Files.write(dir.resolve("in2"), data2);
            Check.isTrue(c + " into one hard link", c.encrypt.run(in2.toString(), target.toString(), PASSWORD, SALT));
            Check.isTrue(c + " hard links stay one file", Files.isSameFile(target, other));
            Check.equalBytes(c + " other hard link decrypts", data2, decrypt(c, PASSWORD, other));

            Path nul = Files.createSymbolicLink(dir.resolve("null.enc"), Path.of("/dev/null"));
            Check.isTrue(c + " into a device", c.encrypt.run(in.toString(), nul.toString(), PASSWORD, SALT));
            Check.isTrue(c + " device link kept", Files.isSymbolicLink(nul));
            Path full = Files.createSymbolicLink(dir.resolve("full.enc"), Path.of("/dev/full"));
            Check.isTrue(c + " failed write gives false",
                    !c.encrypt.run(in.toString(), full.toString(), PASSWORD, SALT));
            Check.isTrue(c + " full device link kept", Files.isSymbolicLink(full));
            Check.equal(c + " no other files",
                    List.of("full.enc", "in", "in2", "link.enc", "null.enc", "other.enc", "target.enc"), listing(dir));
        }
    }

    // The call runs in a child JVM; under root, without the power to pass over mode bits.
    private static void readOnlyOutput() throws Exception {
        Path dir = newDir();
        Path in = Files.write(dir.resolve("in"), randomBytes(100));
        byte[] old = randomBytes(50);
        Path out = Files.write(dir.resolve("out.enc"), old);
        Files.setPosixFilePermissions(out, PosixFilePermissions.fromString("r--r--r--"));
        List<String> cmd = new ArrayList<>();
        if ((Integer) Files.getAttribute(out, "unix:uid") == 0) {
            String caps = "-dac_override,-dac_read_search";
            cmd.addAll(List.of("setpriv", "--inh-caps=" + caps, "--bounding-set=" + caps));
        }
        cmd.addAll(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                "-cp", System.getProperty("java.class.path"), "-Dsysaux.lib=" + System.getProperty("sysaux.lib"),
                CryptoChild.class.getName(), in.toString(), out.toString()));
        ChildProcess child = run(cmd);
        Check.isTrue("child without JNI warnings:\n" + child.out, !ChildProcess.hasJniWarning(child.out));
        Check.isTrue("read-only output refused:\n" + child.out, child.out.contains("result=false\n"));
        Check.equalBytes("read-only output unchanged", old, Files.readAllBytes(out));
        Check.equal("no other files", List.of("in", "out.enc"), listing(dir));
    }

    // A file size limit on this JVM makes writes fail part way. For input and output in one
    // file, the limits lie below its size and between its size and that of its encryption.
    private static void failedWrite() throws Exception {
        Path dir = newDir();
        byte[] data = randomBytes(300000);  // encrypts to 300032 bytes
        Path file = Files.write(dir.resolve("file"), data);
        Path in = Files.write(dir.resolve("in"), data);
        Path out = Files.write(dir.resolve("out.enc"), randomBytes(1000));
        String soft = prlimit("--output=SOFT", "--noheadings", "--raw").trim();
        try {
            for (int limit : new int[] {100000, 300016}) {
                prlimit("--fsize=" + limit + ":");
                for (Cipher c : Cipher.values()) {
                    String what = c + " limit " + limit;
                    Check.isTrue(what + " same path fails",
                            !c.encrypt.run(file.toString(), file.toString(), PASSWORD, SALT));
                    Check.equalBytes(what + " same path keeps its bytes", data, Files.readAllBytes(file));
                    Check.isTrue(what + " new output fails",
                            !c.encrypt.run(in.toString(), out.toString(), PASSWORD, SALT));
                }
            }
        } finally {
            prlimit("--fsize=" + soft + ":");
        }
        Check.equal("no temporary files", List.of("file", "in", "out.enc"), listing(dir));
        Check.isTrue("works again without the limit",
                Cipher.AES128.encrypt.run(file.toString(), file.toString(), PASSWORD, SALT));
        Check.equalBytes("and decrypts", data, decrypt(Cipher.AES128, PASSWORD, file));
    }

    // Many calls at once, each into its own output in one directory.
    private static void manyThreads() throws Exception {
        Path dir = newDir();
        int threads = 200;
        CountDownLatch go = new CountDownLatch(1);
        List<byte[]> inputs = new ArrayList<>();
        List<String> names = new ArrayList<>();
        boolean[] ok = new boolean[threads];
        Thread[] workers = new Thread[threads];
        for (int t = 0; t < threads; t++) {
            inputs.add(randomBytes(20000 + t));
            Path in = Files.write(dir.resolve("in" + t), inputs.get(t));
            Path out = dir.resolve("out" + t + ".enc");
            names.addAll(List.of(in.getFileName().toString(), out.getFileName().toString()));
            int index = t;
            workers[t] = new Thread(() -> {
                try {
                    go.await();
                } catch (InterruptedException e) {
                    return;
                }
                ok[index] = CryptoUtil.encryptAes256Cbc0(in.toString(), out.toString(), PASSWORD, SALT);
            });
            workers[t].start();
        }
        go.countDown();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(120);
        int failed = 0;
        for (int t = 0; t < threads; t++) {
            workers[t].join(Math.max(1, TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime())));
            Check.isTrue("worker " + t + " ended", !workers[t].isAlive());
            if (!ok[t]) {
                failed++;
            }
        }
        Check.equal("calls that failed", 0, failed);
        for (int t = 0; t < threads; t++) {
            Check.equalBytes("output " + t + " decrypts", inputs.get(t),
                    decrypt(Cipher.AES256, PASSWORD, dir.resolve("out" + t + ".enc")));
        }
        names.sort(null);
        Check.equal("no other files", names, listing(dir));
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
        Path plain = Files.createTempFile(root, "dec", ".bin");
        ChildProcess r = run(List.of("openssl", "enc", "-d", c.flag, "-md", "md5", "-pass", "pass:" + password,
                "-in", file.toString(), "-out", plain.toString()));
        byte[] result = null;
        if (r.exit == 0) {
            result = Files.readAllBytes(plain);
        } else {
            System.out.println("openssl failed: " + r.out);
        }
        Files.delete(plain);
        return result;
    }

    /** Runs prlimit on this JVM's own process and gives its output. */
    private static String prlimit(String... args) throws Exception {
        List<String> cmd = new ArrayList<>(List.of("prlimit", "--pid", Long.toString(ProcessHandle.current().pid())));
        cmd.addAll(List.of(args));
        if (args[0].startsWith("--output")) {
            cmd.add("--fsize");
        }
        ChildProcess r = run(cmd);
        if (r.exit != 0) {
            throw new IllegalStateException(cmd + " failed: " + r.out);
        }
        return r.out;
    }

    /** Runs cmd; one still running after 120 s is killed and fails a check. */
    private static ChildProcess run(List<String> cmd) throws Exception {
        return ChildProcess.run(new ProcessBuilder(cmd), String.join(" ", cmd), 120);
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
}

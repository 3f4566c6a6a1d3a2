import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.security.MessageDigest;
import java.util.Enumeration;
import java.util.Locale;
import java.util.Properties;
import java.util.TreeMap;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.Session;
import javax.mail.internet.ContentType;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.ParameterList;

/**
 * Reads the Inbox of a profile through the natives, in delivery order, and compares the
 * MIME form of each message (MAPIMessage.writeTo) with the file it was delivered from, both
 * read by javax.mail's MimeMessage: the part tree with types and parameters, dispositions,
 * file names, content identifiers and locations, every text and the bytes of every part.
 * Each rendering is written to OUT_DIR/N.eml (for checks of signatures). Prints one line per
 * message and the two descriptions of any that differ.
 *
 * Arguments: PROFILE TEMP_DIR OUT_DIR FILE...
 */
public final class RenderingFidelity {

    public static void main(String[] args) throws Exception {
        String profile = args[0];
        String tempDir = args[1];
        String outDir = args[2];
        Session session = Session.getInstance(new Properties());
        if (!MAPINative.initMapi()) {
            System.out.println("FAIL: initMapi");
            System.exit(1);
        }
        long store = MAPINative.getStore(profile, "", "", tempDir);
        long folder = MAPINative.getInbox(store);
        MAPINative.openFolder(folder, 0);
        MAPIMessage[] messages = MAPINative.getFolderMessages(folder, null);
        int failures = 0;
        if (messages.length != args.length - 3) {
            System.out.println("FAIL: " + messages.length + " messages for " + (args.length - 3) + " files");
            failures++;
        }
        for (int i = 0; i < messages.length && i + 3 < args.length; i++) {
            String file = args[i + 3];
            ByteArrayOutputStream rendered = new ByteArrayOutputStream();
            messages[i].writeTo(rendered);
            try (OutputStream out = new FileOutputStream(outDir + "/" + (i + 1) + ".eml")) {
                rendered.writeTo(out);
            }
            MimeMessage original;
            try (InputStream in = new FileInputStream(file)) {
                original = new MimeMessage(session, in);
            }
            MimeMessage back = new MimeMessage(session, new ByteArrayInputStream(rendered.toByteArray()));
            String expected = describe(original);
            String actual = describe(back);
            String name = file.substring(file.lastIndexOf('/') + 1);
            // What the natives show: the plain text of the message (of the signed content
            // for a signed one).
            String text = firstPlainText(original);
            if (!messages[i].getTextBody().equals(text)) {
                actual += "text body through the natives: " + escape(messages[i].getTextBody()) + "\n";
                expected += "text body through the natives: " + escape(text) + "\n";
            }
            if (expected.equals(actual)) {
                System.out.println("ok " + name);
            } else {
                System.out.println("FAIL " + name + "\n--- from the file:\n" + expected + "--- rendered:\n" + actual);
                failures++;
            }
        }
        MAPINative.closeFolder(folder, false);
        MAPINative.closeStore(store);

        // The same messages through the JavaMail provider: each read as it is (its content
        // tree) and its RFC 822 text (written as provider-N.eml) read back, both as the file.
        Properties props = new Properties();
        props.put("mail.store.protocol", "mapi");
        props.put("mail.mapi.user", profile);
        props.put("mail.mapi.tempdir", tempDir);
        javax.mail.Store mapi = Session.getInstance(props).getStore();
        mapi.connect();
        javax.mail.Folder inbox = mapi.getFolder("INBOX");
        inbox.open(javax.mail.Folder.READ_ONLY);
        for (int i = 0; i < inbox.getMessageCount() && i + 3 < args.length; i++) {
            String file = args[i + 3];
            javax.mail.Message m = inbox.getMessage(i + 1);
            ByteArrayOutputStream written = new ByteArrayOutputStream();
            m.writeTo(written);
            try (OutputStream out = new FileOutputStream(outDir + "/provider-" + (i + 1) + ".eml")) {
                written.writeTo(out);
            }
            MimeMessage original;
            try (InputStream in = new FileInputStream(file)) {
                original = new MimeMessage(session, in);
            }
            String expected = describe(original);
            String name = file.substring(file.lastIndexOf('/') + 1);
            // Every header as it arrived, then the part tree, of the message as read and of
            // its RFC 822 text.
            expected = headerLines(original) + expected;
            String read = headerLines(m) + describe(m);
            MimeMessage reread = new MimeMessage(session, new ByteArrayInputStream(written.toByteArray()));
            String back = headerLines(reread) + describe(reread);
            if (expected.equals(read) && expected.equals(back)) {
                System.out.println("ok provider " + name);
            } else {
                System.out.println("FAIL provider " + name + "\n--- from the file:\n" + expected + "--- read:\n" + read
                        + "--- its RFC 822 text:\n" + back);
                failures++;
            }
        }
        inbox.close(false);
        mapi.close();
        System.exit(failures == 0 ? 0 : 1);
    }

    /** A message's header lines in order, the content fields left out (the part tree has them). */
    static String headerLines(javax.mail.Message message) throws Exception {
        StringBuilder out = new StringBuilder();
        for (java.util.Enumeration<?> e = ((MimeMessage) message).getAllHeaderLines(); e.hasMoreElements();) {
            String line = (String) e.nextElement();
            if (!line.regionMatches(true, 0, "Content-", 0, 8)) {
                out.append(line).append('\n');
            }
        }
        return out.toString();
    }

    /** The part tree of a message as text, one line per part. */
    static String describe(Part message) throws Exception {
        StringBuilder out = new StringBuilder();
        describe(message, 0, out, true);
        return out.toString();
    }

    private static void describe(Part part, int depth, StringBuilder out, boolean top) throws Exception {
        ContentType type = new ContentType(part.getContentType());
        String base = type.getBaseType().toLowerCase(Locale.ROOT);
        StringBuilder line = new StringBuilder();
        for (int i = 0; i < depth; i++) {
            line.append("  ");
        }
        line.append(base).append(parameters(type, base));
        if (!top) {
            line.append(" disposition=").append(lower(part.getDisposition()));
            line.append(" filename=").append(part.getFileName());
            String[] id = part.getHeader("Content-ID");
            line.append(" id=").append(id == null ? null : id[0]);
            String[] location = part.getHeader("Content-Location");
            line.append(" location=").append(location == null ? null : location[0]);
        }
        out.append(line).append('\n');
        Object content = part.getContent();
        if (content instanceof Multipart) {
            Multipart mp = (Multipart) content;
            for (int i = 0; i < mp.getCount(); i++) {
                describe(mp.getBodyPart(i), depth + 1, out, false);
            }
            return;
        }
        byte[] data = bytes(part);
        out.append("  ".repeat(depth + 1)).append("bytes ").append(data.length).append(' ').append(sha256(data));
        if (content instanceof String) {
            out.append(" text ").append(escape((String) content));
        }
        out.append('\n');
    }

    /** The first text/plain part's text, depth first; "" for none. */
    private static String firstPlainText(Part part) throws Exception {
        if (part.isMimeType("text/plain")) {
            return (String) part.getContent();
        }
        if (part.isMimeType("multipart/*")) {
            Multipart mp = (Multipart) part.getContent();
            for (int i = 0; i < mp.getCount(); i++) {
                String text = firstPlainText(mp.getBodyPart(i));
                if (!text.isEmpty()) {
                    return text;
                }
            }
        }
        return "";
    }

    /** Parameters by lower-case name (boundaries aside), charset names in lower case. */
    private static String parameters(ContentType type, String base) {
        TreeMap<String, String> sorted = new TreeMap<>();
        ParameterList list = type.getParameterList();
        for (Enumeration<String> names = list.getNames(); names.hasMoreElements();) {
            String name = names.nextElement().toLowerCase(Locale.ROOT);
            if (!name.equals("boundary")) {
                sorted.put(name, list.get(name));
            }
        }
        if (base.startsWith("text/") && !sorted.containsKey("charset")) {
            sorted.put("charset", "us-ascii");  // RFC 2045's default
        }
        sorted.computeIfPresent("charset", (k, v) -> v.toLowerCase(Locale.ROOT));
        return sorted.isEmpty() ? "" : " " + sorted;
    }

    private static byte[] bytes(Part part) throws Exception {
        try (InputStream in = part.getInputStream()) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0;) {
                out.write(buffer, 0, n);
            }
            return out.toByteArray();
        }
    }

    private static String sha256(byte[] data) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(data)) {
            hex.append(String.format("%02x", b & 0xFF));
        }
        return hex.substring(0, 16);
    }

    private static String lower(String s) {
        return s == null ? null : s.toLowerCase(Locale.ROOT);
    }

    private static String escape(String s) {
        return "\"" + s.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n") + "\"";
    }

    private RenderingFidelity() {
    }
}

import com.plimo.mail.mapi.MAPIBodyPart;
import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPIMultipart;
import com.plimo.mail.mapi.MAPINative;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.MessageDigest;
import javax.mail.Folder;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.URLName;

/**
 * Walks a profile's Inbox through the natives and prints one JSON object per message:
 * subject, From, To, Cc, priority, the plain and HTML bodies, and every attachment part
 * with its file name, content type, size and SHA-256 (written with writeBodypartToFile).
 *
 * <pre>
 * CorpusWalk PROFILE TEMP_DIR OUT_DIR
 * </pre>
 */
public final class CorpusWalk {

    private CorpusWalk() {
    }

    /** The smallest folder the natives need to hand out messages. */
    private static final class WalkFolder extends Folder {
        WalkFolder(Store store) {
            super(store);
        }
        @Override public String getName() { return "INBOX"; }
        @Override public String getFullName() { return "INBOX"; }
        @Override public Folder getParent() { return null; }
        @Override public boolean exists() { return true; }
        @Override public Folder[] list(String pattern) { return new Folder[0]; }
        @Override public char getSeparator() { return '/'; }
        @Override public int getType() { return HOLDS_MESSAGES; }
        @Override public boolean create(int type) { return false; }
        @Override public boolean hasNewMessages() { return false; }
        @Override public Folder getFolder(String name) { return null; }
        @Override public boolean delete(boolean recurse) { return false; }
        @Override public boolean renameTo(Folder f) { return false; }
        @Override public void open(int mode) { }
        @Override public void close(boolean expunge) { }
        @Override public boolean isOpen() { return true; }
        @Override public javax.mail.Flags getPermanentFlags() { return new javax.mail.Flags(); }
        @Override public int getMessageCount() { return 0; }
        @Override public javax.mail.Message getMessage(int n) { return null; }
        @Override public void appendMessages(javax.mail.Message[] m) { }
        @Override public javax.mail.Message[] expunge() { return new javax.mail.Message[0]; }
    }

    private static String json(String s) {
        if (s == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("\"");
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
                case '"': b.append("\\\""); break;
                case '\\': b.append("\\\\"); break;
                case '\n': b.append("\\n"); break;
                case '\r': b.append("\\r"); break;
                case '\t': b.append("\\t"); break;
                default:
                    if (c < 0x20) {
                        b.append(String.format("\\u%04x", (int) c));
                    } else {
                        b.append(c);
                    }
            }
        }
        return b.append('"').toString();
    }

    private static String json(String[] list) {
        StringBuilder b = new StringBuilder("[");
        for (int i = 0; list != null && i < list.length; i++) {
            b.append(i == 0 ? "" : ",").append(json(list[i]));
        }
        return b.append(']').toString();
    }

    private static String sha256(Path file) throws Exception {
        MessageDigest md = MessageDigest.getInstance("SHA-256");
        byte[] digest = md.digest(Files.readAllBytes(file));
        StringBuilder b = new StringBuilder();
        for (byte x : digest) {
            b.append(String.format("%02x", x & 0xff));
        }
        return b.toString();
    }

    public static void main(String[] args) throws Exception {
        String profile = args[0];
        String temp = args[1];
        Path out = Paths.get(args[2]);
        Files.createDirectories(out);
        PrintStream stdout = new PrintStream(System.out, false, "UTF-8");
        MAPINative.initMapi();
        long store = MAPINative.getStore(profile, "", "", temp);
        Session session = Session.getInstance(new java.util.Properties());
        Store javaStore = new Store(session, new URLName("mapi://corpus")) {
            @Override public Folder getDefaultFolder() { return null; }
            @Override public Folder getFolder(String name) { return null; }
            @Override public Folder getFolder(URLName url) { return null; }
        };
        long folder = MAPINative.getInbox(store);
        try {
            MAPINative.openFolder(folder, 0);
            int count = MAPINative.getFolderMessageCount(folder);
            WalkFolder javaFolder = new WalkFolder(javaStore);
            for (int n = 1; n <= count; n++) {
                MAPIMessage m = MAPINative.getFolderMessage(folder, javaFolder, n);
                long h = m.getMessagePointer();
                StringBuilder line = new StringBuilder("{");
                line.append("\"n\":").append(n);
                line.append(",\"subject\":").append(json(MAPINative.getMessageSubject(h)));
                line.append(",\"from\":").append(json(MAPINative.getMessageFrom(h)));
                line.append(",\"to\":").append(json(MAPINative.getMessageTo(h)));
                line.append(",\"cc\":").append(json(MAPINative.getMessageCC(h)));
                line.append(",\"priority\":").append(json(MAPINative.getMessagePriority(h)));
                line.append(",\"text\":").append(json(MAPINative.getMessageText(h)));
                line.append(",\"html\":").append(json(MAPINative.getMessageHTML(h)));
                line.append(",\"parts\":[");
                MAPIMultipart mp = MAPINative.getMessageContent(h, m);
                int parts = mp == null ? 0 : mp.getCount();
                boolean first = true;
                for (int i = 0; i < parts; i++) {
                    MAPIBodyPart part = (MAPIBodyPart) mp.getBodyPart(i);
                    String name = part.getFileName();
                    if (name == null || name.isEmpty()) {
                        continue;
                    }
                    Path file = out.resolve("part-" + n + "-" + i);
                    MAPINative.writeBodypartToFile(part.getBodyPartPointer(), file.toString());
                    line.append(first ? "" : ",").append("{\"name\":").append(json(name))
                            .append(",\"type\":").append(json(part.getContentType()))
                            .append(",\"size\":").append(Files.size(file))
                            .append(",\"sha256\":").append(json(sha256(file))).append('}');
                    first = false;
                    Files.delete(file);
                }
                line.append("]}");
                stdout.println(line);
                MAPINative.destroyMessage(h);
            }
        } catch (MessagingException e) {
            stdout.flush();
            System.err.println("corpus walk: " + e.getMessage());
            System.exit(1);
        } finally {
            MAPINative.closeFolder(folder, false);
            MAPINative.closeStore(store);
        }
        stdout.flush();
    }
}

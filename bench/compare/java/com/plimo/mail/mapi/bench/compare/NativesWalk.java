package com.plimo.mail.mapi.bench.compare;

import com.plimo.mail.mapi.MAPIBodyPart;
import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPIMultipart;
import com.plimo.mail.mapi.MAPINative;
import java.io.File;
import java.util.Properties;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.URLName;

/**
 * The walk of a profile's Inbox through the natives: getStore, getInbox, openFolder, the
 * messages CHUNK at a time with getFolderMessageChunk, then for every message its subject,
 * From, To, Cc, sent and received times and priority, getMessageContent, and every part
 * with getMultipartCount and getMultipartBodypart: the body texts read as Strings, the
 * attachments written with writeBodypartToFile (the file deleted once its size is taken).
 *
 * <pre>
 * NativesWalk PROFILE TEMP_DIR COUNT OUT_DIR RECORDS WARMUP CHUNK
 * </pre>
 */
public final class NativesWalk {

    private NativesWalk() {
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
        @Override public Flags getPermanentFlags() { return new Flags(); }
        @Override public int getMessageCount() { return 0; }
        @Override public Message getMessage(int n) { return null; }
        @Override public void appendMessages(Message[] m) { }
        @Override public Message[] expunge() { return new Message[0]; }
    }

    private static int addresses(WalkTally tally, String[] list) {
        if (list == null) {
            return 0;
        }
        for (String s : list) {
            tally.field(s);
        }
        return list.length;
    }

    public static void main(String[] args) throws Exception {
        String profile = args[0];
        String temp = args[1];
        int count = Integer.parseInt(args[2]);
        File out = new File(args[3]);
        String records = args[4];
        int chunk = Integer.parseInt(args[6]);
        WalkTally tally = new WalkTally("natives", count, WalkTally.warmup(Integer.parseInt(args[5]), count, chunk));
        MAPINative.initMapi();
        long store = MAPINative.getStore(profile, "", "", temp);
        Store javaStore = new Store(Session.getInstance(new Properties()), new URLName("mapi://bench")) {
            @Override public Folder getDefaultFolder() { return null; }
            @Override public Folder getFolder(String name) { return null; }
            @Override public Folder getFolder(URLName url) { return null; }
        };
        WalkFolder javaFolder = new WalkFolder(javaStore);
        long folder = MAPINative.getInbox(store);
        try {
            MAPINative.openFolder(folder, 0);
            int inFolder = MAPINative.getFolderMessageCount(folder);
            if (inFolder != count) {
                System.err.println("natives walk: the Inbox holds " + inFolder + " messages, not " + count);
                System.exit(1);
            }
            for (int first = 1; first <= count; first += chunk) {
                int last = Math.min(count, first + chunk - 1);
                tally.before(first);
                MAPIMessage[] messages = MAPINative.getFolderMessageChunk(folder, javaFolder, first, last);
                for (int n = first; n <= last; n++) {
                    tally.before(n);
                    MAPIMessage m = messages[n - 1];
                    long h = m.getMessagePointer();
                    tally.field(MAPINative.getMessageSubject(h));
                    addresses(tally, MAPINative.getMessageFrom(h));
                    int to = addresses(tally, MAPINative.getMessageTo(h));
                    int cc = addresses(tally, MAPINative.getMessageCC(h));
                    tally.recipients(n, to, cc);
                    tally.field((long) MAPINative.getMessageSentDate(h));
                    tally.field((long) MAPINative.getMessageReceiveTime(h));
                    String priority = MAPINative.getMessagePriority(h);
                    tally.priority(n, priority == null || priority.isEmpty() ? 0 : priority.charAt(0) - '0');
                    MAPIMultipart mp = MAPINative.getMessageContent(h, m);
                    if (mp != null) {
                        long mpPointer = mp.getMultipartPointer();
                        int parts = MAPINative.getMultipartCount(mpPointer);
                        for (int i = 0; i < parts; i++) {
                            MAPIBodyPart part = MAPINative.getMultipartBodypart(mpPointer, mp, i);
                            if (part.isAttachment()) {
                                File file = new File(out, "part-" + n + "-" + i);
                                MAPINative.writeBodypartToFile(part.getBodyPartPointer(), file.getPath());
                                tally.attachment(n, file.length());
                                if (!file.delete()) {
                                    throw new MessagingException("cannot delete " + file);
                                }
                            } else {
                                tally.body(n, (String) part.getContent());
                            }
                        }
                    }
                    MAPINative.destroyMessage(h);
                    messages[n - 1] = null;
                }
            }
            tally.finish();
        } finally {
            MAPINative.closeFolder(folder, false);
            MAPINative.closeStore(store);
        }
        tally.report(records);
    }
}

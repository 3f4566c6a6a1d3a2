package com.plimo.mail.mapi.bench.compare;

import java.io.File;
import java.util.Date;
import java.util.Properties;
import javax.mail.FetchProfile;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.UIDFolder;

/**
 * The walk of an IMAP Inbox with JavaMail: the folder opened read-only, its messages taken
 * CHUNK at a time and fetched with one {@link FetchProfile} each (ENVELOPE, CONTENT_INFO,
 * FLAGS, UID and the X-Priority and Importance headers), then the same reads as the other
 * walks; bodies and attachments are fetched part by part, as JavaMail does, and every
 * attachment saved to a file. JavaMail's IMAP settings are its defaults.
 *
 * <pre>
 * ImapWalk HOST PORT USER PASSWORD COUNT OUT_DIR RECORDS WARMUP CHUNK
 * </pre>
 */
public final class ImapWalk {

    private ImapWalk() {
    }

    public static void main(String[] args) throws Exception {
        String host = args[0];
        int port = Integer.parseInt(args[1]);
        String user = args[2];
        String password = args[3];
        int count = Integer.parseInt(args[4]);
        File out = new File(args[5]);
        String records = args[6];
        int chunk = Integer.parseInt(args[8]);
        WalkTally tally = new WalkTally("imap", count, WalkTally.warmup(Integer.parseInt(args[7]), count, chunk));
        Session session = Session.getInstance(new Properties());
        Store store = session.getStore("imap");
        store.connect(host, port, user, password);
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        if (inbox.getMessageCount() != count) {
            System.err.println("imap walk: the Inbox holds " + inbox.getMessageCount() + " messages, not " + count);
            System.exit(1);
        }
        FetchProfile fp = new FetchProfile();
        fp.add(FetchProfile.Item.ENVELOPE);
        fp.add(FetchProfile.Item.CONTENT_INFO);
        fp.add(FetchProfile.Item.FLAGS);
        fp.add(UIDFolder.FetchProfileItem.UID);
        fp.add("X-Priority");
        fp.add("Importance");
        MimeParts parts = new MimeParts(tally, out);
        for (int first = 1; first <= count; first += chunk) {
            int last = Math.min(count, first + chunk - 1);
            tally.before(first);
            Message[] messages = inbox.getMessages(first, last);
            inbox.fetch(messages, fp);
            for (int n = first; n <= last; n++) {
                tally.before(n);
                Message m = messages[n - first];
                MimeParts.headers(tally, n, m);
                Date received = m.getReceivedDate();
                tally.field(received == null ? 0 : received.getTime());
                tally.priority(n, MimeParts.priority(m));
                tally.field(m.getFlags().getSystemFlags().length);
                parts.walk(n, m);
            }
        }
        tally.finish();
        inbox.close(false);
        store.close();
        tally.report(records);
    }
}

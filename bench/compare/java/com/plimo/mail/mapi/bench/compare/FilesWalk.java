package com.plimo.mail.mapi.bench.compare;

import java.io.BufferedInputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.InputStream;
import java.util.Date;
import java.util.Properties;
import javax.mail.Message;
import javax.mail.Part;
import javax.mail.Session;
import javax.mail.internet.MailDateFormat;
import javax.mail.internet.MimeMessage;

/**
 * The walk of the .eml files with JavaMail: every file parsed as a {@link MimeMessage}
 * from a {@link FileInputStream}, then the same reads as the other walks (subject, From,
 * To, Cc, sent date, the received date from the first Received header, X-Priority and
 * Importance, every text body as a String, every attachment saved to a file).
 *
 * <pre>
 * FilesWalk CORPUS_DIR COUNT OUT_DIR RECORDS WARMUP CHUNK
 * </pre>
 */
public final class FilesWalk {

    private FilesWalk() {
    }

    public static void main(String[] args) throws Exception {
        File corpus = new File(args[0]);
        int count = Integer.parseInt(args[1]);
        File out = new File(args[2]);
        String records = args[3];
        int chunk = Integer.parseInt(args[5]);
        WalkTally tally = new WalkTally("files", count, WalkTally.warmup(Integer.parseInt(args[4]), count, chunk));
        Session session = Session.getInstance(new Properties());
        MailDateFormat dates = new MailDateFormat();
        MimeParts parts = new MimeParts(tally, out);
        for (int n = 1; n <= count; n++) {
            tally.before(n);
            File file = new File(corpus, String.format("%06d.eml", n));
            try (InputStream in = new BufferedInputStream(new FileInputStream(file))) {
                MimeMessage m = new MimeMessage(session, in);
                MimeParts.headers(tally, n, m);
                tally.field(receivedDate(m, dates));
                tally.priority(n, MimeParts.priority(m));
                parts.walk(n, m);
            }
        }
        tally.finish();
        tally.report(records);
    }

    /** A file has no delivery time of its own: the date of its first (newest) Received header. */
    private static long receivedDate(Part m, MailDateFormat dates) throws Exception {
        String[] received = m.getHeader("Received");
        if (received == null || received.length == 0) {
            return 0;
        }
        String value = received[0];
        int semicolon = value.lastIndexOf(';');
        if (semicolon < 0) {
            return 0;
        }
        Date d = dates.parse(value.substring(semicolon + 1).trim());
        return d == null ? 0 : d.getTime();
    }
}

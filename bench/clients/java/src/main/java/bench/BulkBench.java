// The official Java client's BulkIngester (opensearch-java) into an index, for bench/engine_bench.py.
//   java -cp CLASSPATH bench.BulkBench URL INDEX DOCS_FILE [MAX_OPERATIONS [MAX_CONCURRENT_REQUESTS]]
// (the ingester's defaults otherwise). Documents are parsed into maps before the clock starts, the form
// the client serialises. Prints the wall seconds and this process's CPU seconds from the first document
// to the last reply.
package bench;

import com.fasterxml.jackson.databind.ObjectMapper;
import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicLong;
import org.apache.hc.core5.http.HttpHost;
import org.opensearch.client.json.jackson.JacksonJsonpMapper;
import org.opensearch.client.opensearch.OpenSearchClient;
import org.opensearch.client.opensearch._helpers.bulk.BulkIngester;
import org.opensearch.client.opensearch._helpers.bulk.BulkListener;
import org.opensearch.client.opensearch.core.BulkRequest;
import org.opensearch.client.opensearch.core.BulkResponse;
import org.opensearch.client.opensearch.core.bulk.BulkResponseItem;
import org.opensearch.client.transport.httpclient5.ApacheHttpClient5Transport;
import org.opensearch.client.transport.httpclient5.ApacheHttpClient5TransportBuilder;

public final class BulkBench {
  private BulkBench() {}

  @SuppressWarnings("unchecked")
  public static void main(String[] args) throws Exception {
    final String url = args[0];
    final String index = args[1];
    final ObjectMapper json = new ObjectMapper();
    final List<Map<String, Object>> docs = new ArrayList<>();
    for (String line : Files.readAllLines(Path.of(args[2]))) {
      if (!line.isEmpty()) docs.add(json.readValue(line, Map.class));
    }
    ApacheHttpClient5Transport transport =
        ApacheHttpClient5TransportBuilder.builder(HttpHost.create(url)).setMapper(new JacksonJsonpMapper()).build();
    OpenSearchClient client = new OpenSearchClient(transport);
    final AtomicLong failed = new AtomicLong();
    BulkListener<Void> listener = new BulkListener<Void>() {
      @Override
      public void beforeBulk(long id, BulkRequest request, List<Void> contexts) {}

      @Override
      public void afterBulk(long id, BulkRequest request, List<Void> contexts, BulkResponse response) {
        for (BulkResponseItem item : response.items()) {
          if (item.error() != null) failed.incrementAndGet();
        }
      }

      @Override
      public void afterBulk(long id, BulkRequest request, List<Void> contexts, Throwable failure) {
        failed.addAndGet(request.operations().size());
      }
    };
    BulkIngester.Builder<Void> builder = new BulkIngester.Builder<Void>().client(client).listener(listener);
    if (args.length > 3) builder.maxOperations(Integer.parseInt(args[3]));
    if (args.length > 4) builder.maxConcurrentRequests(Integer.parseInt(args[4]));
    com.sun.management.OperatingSystemMXBean os =
        (com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
    final long t0 = System.nanoTime();
    final long c0 = os.getProcessCpuTime();
    BulkIngester<Void> ingester = builder.build();
    for (Map<String, Object> doc : docs) {
      ingester.add(op -> op.index(i -> i.index(index).document(doc)));
    }
    ingester.close();  // flushes what is pending and waits for every reply
    final long c1 = os.getProcessCpuTime();
    final long t1 = System.nanoTime();
    transport.close();
    if (failed.get() != 0) {
      System.err.println(failed.get() + " documents failed");
      System.exit(1);
    }
    System.out.printf("%.6f %.6f%n", (t1 - t0) / 1e9, (c1 - c0) / 1e9);
  }
}
